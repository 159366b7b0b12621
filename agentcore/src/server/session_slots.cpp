#include "server/session_slots.h"

namespace zunel {

bool SessionSlots::take(Hold& hold, std::function<void()> evict) {
  std::lock_guard lock(mutex_);
  if (entries_.size() >= capacity_) {
    auto oldest = entries_.end();
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->idle_since && (oldest == entries_.end() || *it->idle_since < *oldest->idle_since)) {
        oldest = it;
      }
    }
    if (oldest == entries_.end()) return false;
    oldest->hold->reset();
    oldest->evict();
    entries_.erase(oldest);
  }
  hold = entries_.insert(entries_.end(), Entry{std::move(evict), std::nullopt, &hold});
  return true;
}

void SessionSlots::set_idle(Hold& hold, bool idle) {
  std::lock_guard lock(mutex_);
  if (!hold) return;
  if (idle) {
    (*hold)->idle_since = Clock::now();
  } else {
    (*hold)->idle_since.reset();
  }
}

void SessionSlots::give_back(Hold& hold) {
  std::lock_guard lock(mutex_);
  if (!hold) return;
  entries_.erase(*hold);
  hold.reset();
}

}  // namespace zunel
