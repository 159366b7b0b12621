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
#include <thread>

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
    NoThread,      // the lane's thread, or the job, could not be made
  };

  struct Job;
  // Names an accepted job, so that it can be withdrawn before it starts.
  using JobHandle = std::shared_ptr<Job>;

  // Starts a lane's thread running `loop`; it may throw anything, which
  // refuses that one job (NoThread). Replaced by tests.
  using StartThread = std::function<std::thread(std::function<void()> loop)>;
  static std::thread start_system_thread(std::function<void()> loop) { return std::thread(std::move(loop)); }

  explicit Lanes(LaneLimits limits = {}, StartThread start_thread = start_system_thread);
  Lanes(const Lanes&) = delete;
  Lanes& operator=(const Lanes&) = delete;
  // Drops the jobs that have not started (their work is destroyed unrun) and
  // waits for the running ones to end.
  ~Lanes();

  // Accepts `work` into the lane of `key`: it runs on the lane's thread once
  // every job accepted there before it has ended. `work` must not throw.
  // Callable from any thread. Never throws: running out of memory or threads
  // refuses this job (NoThread) and leaves the lane usable.
  [[nodiscard]] Outcome<JobHandle, Refusal> submit(const std::string& key, std::function<void()> work);

  // Withdraws an accepted job that has not started: true when it never will
  // (its work is destroyed here, unrun), false when it has started or ended.
  bool withdraw(const JobHandle& handle);

  // The lane threads alive now, those that are ending included.
  std::size_t threads() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace zunel
