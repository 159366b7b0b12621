#include "server/lanes.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zunel {

struct Lanes::Job {
  enum class Phase { Waiting, Running, Ended };
  std::string key;
  std::function<void()> work;
  Phase phase = Phase::Waiting;  // under the lanes' mutex
};

struct Lanes::State {
  explicit State(LaneLimits l, StartThread s) : limits(l), start_thread(std::move(s)) {
    // At most one thread per busy lane ends between two joins: a thread's
    // end never allocates.
    ended.reserve(limits.max_busy_lanes);
  }

  struct Lane {
    std::deque<JobHandle> waiting;
    std::thread thread;
  };

  const LaneLimits limits;
  const StartThread start_thread;
  mutable std::mutex mutex;
  std::condition_variable threads_ended;
  // A key has an entry exactly while its thread runs.
  std::unordered_map<std::string, Lane> lanes;
  // Threads whose loop has ended, not yet joined; each has let go of the
  // mutex for good, so joining one under the mutex cannot deadlock.
  mutable std::vector<std::thread> ended;
  bool stopping = false;

  void join_ended() const {
    for (std::thread& thread : ended) thread.join();
    ended.clear();
  }

  // The loop of the thread of lane `key`.
  void serve(const std::string& key) {
    std::unique_lock lock(mutex);
    for (;;) {
      std::deque<JobHandle>& waiting = lanes.at(key).waiting;
      if (waiting.empty() || stopping) break;
      JobHandle job = std::move(waiting.front());
      waiting.pop_front();
      job->phase = Job::Phase::Running;
      std::function<void()> work = std::move(job->work);
      lock.unlock();
      work();
      work = nullptr;  // what it holds goes before the next job starts
      lock.lock();
      job->phase = Job::Phase::Ended;
    }
    // Jobs still waiting when the lanes stop are dropped unrun.
    auto lane = lanes.find(key);
    ended.push_back(std::move(lane->second.thread));  // within the reserved room
    lanes.erase(lane);
    threads_ended.notify_all();
  }
};

Lanes::Lanes(LaneLimits limits, StartThread start_thread)
    : state_(std::make_unique<State>(limits, std::move(start_thread))) {}

Lanes::~Lanes() {
  std::unique_lock lock(state_->mutex);
  state_->stopping = true;
  for (auto& [key, lane] : state_->lanes) {
    for (const JobHandle& job : lane.waiting) job->phase = Job::Phase::Ended;
    lane.waiting.clear();
  }
  state_->threads_ended.wait(lock, [this] { return state_->lanes.empty(); });
  state_->join_ended();
}

Outcome<Lanes::JobHandle, Lanes::Refusal> Lanes::submit(const std::string& key,
                                                     std::function<void()> work) {
  State& s = *state_;
  std::lock_guard lock(s.mutex);
  s.join_ended();
  // Whatever fails here, from an allocation to the thread's start, costs
  // this one job and leaves the lanes as they were.
  bool new_lane = false;
  try {
    auto job = std::make_shared<Job>();
    job->key = key;
    job->work = std::move(work);
    if (const auto lane = s.lanes.find(key); lane != s.lanes.end()) {
      if (lane->second.waiting.size() >= s.limits.max_waiting_per_lane) return Refusal::LaneFull;
      lane->second.waiting.push_back(job);
      return job;
    }
    if (s.stopping) return Refusal::NoThread;
    if (s.lanes.size() >= s.limits.max_busy_lanes) return Refusal::TooManyLanes;
    State::Lane& lane = s.lanes[key];
    new_lane = true;
    lane.waiting.push_back(job);
    // The thread waits for the mutex before it looks at its lane; once it
    // runs, nothing more is allocated for it.
    lane.thread = s.start_thread([&s, key] { s.serve(key); });
    return job;
  } catch (...) {
    if (new_lane) s.lanes.erase(key);
    return Refusal::NoThread;
  }
}

bool Lanes::withdraw(const JobHandle& handle) {
  std::function<void()> dropped;  // destroyed after the mutex is released
  std::lock_guard lock(state_->mutex);
  if (handle->phase != Job::Phase::Waiting) return false;
  std::deque<JobHandle>& waiting = state_->lanes.at(handle->key).waiting;
  std::erase(waiting, handle);
  handle->phase = Job::Phase::Ended;
  dropped = std::move(handle->work);
  return true;
}

std::size_t Lanes::threads() const {
  std::lock_guard lock(state_->mutex);
  state_->join_ended();
  return state_->lanes.size();
}

}  // namespace zunel
