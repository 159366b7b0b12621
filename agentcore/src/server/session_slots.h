#pragma once
// The server's connection slots: a bounded number of open connections, and
// for each since when it has been idle (waiting for a request's first byte,
// nothing in progress), so that a full server can close the one idle longest
// to make room for a new connection.
//
// Thread-safe: a connection may end on any thread (its last owner may be a
// job in a printer's lane).

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <optional>

namespace zunel {

class SessionSlots {
  struct Entry;

 public:
  using Clock = std::chrono::steady_clock;
  using Slot = std::list<Entry>::iterator;

 private:
  struct Entry {
    std::function<void()> evict;
    std::optional<Clock::time_point> idle_since;
    std::optional<Slot>* hold;
  };

 public:
  explicit SessionSlots(std::size_t capacity) : capacity_(capacity) {}

  // A connection's hold on its slot: empty once given back or evicted. Read
  // and changed only by the calls below, under the slots' lock.
  using Hold = std::optional<Slot>;

  // Takes a slot into `hold`. When every slot is taken, the connection idle
  // longest loses its slot first (its hold is emptied) and its `evict` runs,
  // under the slots' lock: it must only close its socket. False, and `hold`
  // left empty, when none is idle.
  bool take(Hold& hold, std::function<void()> evict);

  // Marks the connection idle from now, or busy; nothing once the hold is empty.
  void set_idle(Hold& hold, bool idle);

  // Gives the slot back and empties the hold; nothing when it is empty.
  void give_back(Hold& hold);

 private:
  const std::size_t capacity_;
  std::mutex mutex_;
  std::list<Entry> entries_;
};

}  // namespace zunel
