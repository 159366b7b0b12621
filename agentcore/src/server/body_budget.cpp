#include "server/body_budget.h"

#include <algorithm>

namespace zunel {

bool BodyBudget::burst_passed(std::size_t bytes) {
  if (in_flight_.load() != 0 || charged_since_burst_.load() < bytes) return false;
  charged_since_burst_ = 0;
  return true;
}

bool BodyCharge::begin(std::size_t bound, std::optional<std::size_t> declared) {
  bound_ = bound;
  received_ = 0;
  return !declared || raise_to(*declared);
}

bool BodyCharge::add_chunk(std::size_t size) {
  received_ += size;
  if (received_ <= charged_) return true;
  return raise_to(std::min(std::max(received_, 2 * charged_), bound_));
}

bool BodyCharge::raise_to(std::size_t total) {
  if (total <= charged_) return true;
  const std::size_t more = total - charged_;
  const std::size_t limit = budget_.limit_;
  std::size_t now = budget_.in_flight_.load();
  do {
    if (now > limit || more > limit - now) return false;
  } while (!budget_.in_flight_.compare_exchange_weak(now, now + more));
  budget_.charged_since_burst_ += more;
  charged_ = total;
  return true;
}

void BodyCharge::release() {
  budget_.in_flight_ -= charged_;
  charged_ = 0;
}

}  // namespace zunel
