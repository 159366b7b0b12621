#include "server/lanes.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
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
  explicit State(LaneLimits l) : limits(l) {}

  const LaneLimits limits;
  mutable std::mutex mutex;
  std::condition_variable threads_ended;
  // A key has an entry exactly while its thread runs.
  std::unordered_map<std::string, std::deque<Ticket>> lanes;
  std::unordered_map<std::thread::id, std::thread> running;
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
      std::deque<Ticket>& waiting = lanes.at(key);
      if (waiting.empty() || stopping) break;
      Ticket job = std::move(waiting.front());
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
    lanes.erase(key);
    auto self = running.extract(std::this_thread::get_id());
    ended.push_back(std::move(self.mapped()));
    threads_ended.notify_all();
  }
};

Lanes::Lanes(LaneLimits limits) : state_(std::make_unique<State>(limits)) {}

Lanes::~Lanes() {
  std::unique_lock lock(state_->mutex);
  state_->stopping = true;
  for (auto& [key, waiting] : state_->lanes) {
    for (const Ticket& job : waiting) job->phase = Job::Phase::Ended;
    waiting.clear();
  }
  state_->threads_ended.wait(lock, [this] { return state_->running.empty(); });
  state_->join_ended();
}

Outcome<Lanes::Ticket, Lanes::Refusal> Lanes::submit(const std::string& key,
                                                     std::function<void()> work) {
  State& s = *state_;
  std::lock_guard lock(s.mutex);
  s.join_ended();
  auto job = std::make_shared<Job>();
  job->key = key;
  job->work = std::move(work);
  if (const auto lane = s.lanes.find(key); lane != s.lanes.end()) {
    if (lane->second.size() >= s.limits.max_waiting_per_lane) return Refusal::LaneFull;
    lane->second.push_back(job);
    return job;
  }
  if (s.stopping) return Refusal::NoThread;
  if (s.lanes.size() >= s.limits.max_busy_lanes) return Refusal::TooManyLanes;
  s.lanes[key].push_back(job);
  try {
    // The thread waits for the mutex before it looks at its lane.
    std::thread thread([&s, key] { s.serve(key); });
    const std::thread::id id = thread.get_id();
    s.running.emplace(id, std::move(thread));
  } catch (const std::system_error&) {
    s.lanes.erase(key);
    return Refusal::NoThread;
  }
  return job;
}

bool Lanes::withdraw(const Ticket& ticket) {
  std::function<void()> dropped;  // destroyed after the mutex is released
  std::lock_guard lock(state_->mutex);
  if (ticket->phase != Job::Phase::Waiting) return false;
  std::deque<Ticket>& waiting = state_->lanes.at(ticket->key);
  std::erase(waiting, ticket);
  ticket->phase = Job::Phase::Ended;
  dropped = std::move(ticket->work);
  return true;
}

std::size_t Lanes::threads() const {
  std::lock_guard lock(state_->mutex);
  state_->join_ended();
  return state_->running.size();
}

}  // namespace zunel
