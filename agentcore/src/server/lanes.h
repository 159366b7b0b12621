#pragma once
// Lanes: work queued under a key (a printer), run one job at a time per key
// in the order the jobs were accepted, while the lanes of different keys run
// at the same time. A lane has a thread only while it has work: the thread
// starts with the lane's first job and ends when its queue is empty, so an
// idle agent holds no thread for any printer.
//
// Bounded, so that many printers or many jobs cannot grow threads or memory
// without end: at most `max_busy_lanes` lanes have work at once, and at most
// `max_waiting_per_lane` jobs wait (accepted, not started) in one lane.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "base/outcome.h"

namespace zunel {

struct LaneLimits {
  std::size_t max_busy_lanes = 16;
  std::size_t max_waiting_per_lane = 32;
};

class Lanes {
 public:
  enum class Refusal {
    TooManyLanes,  // the key has no lane, and max_busy_lanes lanes are busy
    LaneFull,      // max_waiting_per_lane jobs already wait in the key's lane
    NoThread,      // the system would not start the lane's thread
  };

  struct Job;
  // Names an accepted job, so that it can be withdrawn before it starts.
  using Ticket = std::shared_ptr<Job>;

  explicit Lanes(LaneLimits limits = {});
  Lanes(const Lanes&) = delete;
  Lanes& operator=(const Lanes&) = delete;
  // Drops the jobs that have not started (their work is destroyed unrun) and
  // waits for the running ones to end.
  ~Lanes();

  // Accepts `work` into the lane of `key`: it runs on the lane's thread once
  // every job accepted there before it has ended. `work` must not throw.
  // Callable from any thread.
  [[nodiscard]] Outcome<Ticket, Refusal> submit(const std::string& key, std::function<void()> work);

  // Withdraws an accepted job that has not started: true when it never will
  // (its work is destroyed here, unrun), false when it has started or ended.
  bool withdraw(const Ticket& ticket);

  // The lane threads alive now, those that are ending included.
  std::size_t threads() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace zunel
