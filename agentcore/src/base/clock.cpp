#include "base/clock.h"

#include <chrono>

namespace zunel {
namespace {

class SystemClock final : public Clock {
 public:
  std::uint64_t now_secs() const override {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
    return secs < 0 ? 0 : static_cast<std::uint64_t>(secs);
  }
};

class SteadyClock final : public MonotonicClock {
 public:
  std::chrono::milliseconds now() const override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
  }
};

}  // namespace

MonotonicClock& system_monotonic_clock() {
  static SteadyClock clock;
  return clock;
}

Clock& system_clock() {
  static SystemClock clock;
  return clock;
}

}  // namespace zunel
