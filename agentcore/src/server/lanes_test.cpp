#include "server/lanes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace zunel {
namespace {

using namespace std::chrono_literals;

// A gate that jobs wait at until the test opens it, and a log of what ran.
class Gate {
 public:
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  void pass() {
    std::unique_lock lock(mutex_);
    ++waiting_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
    --waiting_;
  }
  // Waits until `n` jobs stand at the gate.
  void await_waiting(int n) {
    std::unique_lock lock(mutex_);
    ASSERT_TRUE(changed_.wait_for(lock, 10s, [&] { return waiting_ == n; }));
  }
  void record(const std::string& what) {
    std::lock_guard lock(mutex_);
    log_.push_back(what);
  }
  std::vector<std::string> log() {
    std::lock_guard lock(mutex_);
    return log_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
  int waiting_ = 0;
  std::vector<std::string> log_;
};

// Waits until the lanes' threads have all ended.
bool threads_end(const Lanes& lanes) {
  for (int i = 0; i < 1000 && lanes.threads() != 0; ++i) std::this_thread::sleep_for(5ms);
  return lanes.threads() == 0;
}

TEST(Lanes, OneLaneRunsItsJobsOneAtATimeInOrderAndOthersRunBeside) {
  Gate gate;
  Lanes lanes;
  EXPECT_EQ(lanes.threads(), 0u) << "no thread before there is work";
  ASSERT_TRUE(lanes.submit("a", [&] { gate.pass(); gate.record("a1"); }));
  for (const char* job : {"a2", "a3", "a4"}) {
    ASSERT_TRUE(lanes.submit("a", [&gate, job] { gate.record(job); }));
  }
  // Lane a is held at the gate; lane b runs meanwhile.
  gate.await_waiting(1);
  ASSERT_TRUE(lanes.submit("b", [&] { gate.record("b1"); }));
  for (int i = 0; i < 1000 && gate.log().empty(); ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(gate.log(), std::vector<std::string>{"b1"});
  gate.open();
  ASSERT_TRUE(threads_end(lanes)) << "an idle lane keeps no thread";
  EXPECT_EQ(gate.log(), (std::vector<std::string>{"b1", "a1", "a2", "a3", "a4"}));
}

TEST(Lanes, BusyLanesAndWaitingJobsAreBounded) {
  Gate gate;
  Lanes lanes(LaneLimits{.max_busy_lanes = 2, .max_waiting_per_lane = 2});
  ASSERT_TRUE(lanes.submit("a", [&] { gate.pass(); }));
  ASSERT_TRUE(lanes.submit("b", [&] { gate.pass(); }));
  gate.await_waiting(2);
  const auto third_lane = lanes.submit("c", [] {});
  ASSERT_FALSE(third_lane);
  EXPECT_EQ(third_lane.error(), Lanes::Refusal::TooManyLanes);
  ASSERT_TRUE(lanes.submit("a", [] {}));
  ASSERT_TRUE(lanes.submit("a", [] {}));
  const auto third_waiting = lanes.submit("a", [] {});
  ASSERT_FALSE(third_waiting);
  EXPECT_EQ(third_waiting.error(), Lanes::Refusal::LaneFull);
  gate.open();
  ASSERT_TRUE(threads_end(lanes));
  EXPECT_TRUE(lanes.submit("c", [] {})) << "lanes that ended free their room";
}

TEST(Lanes, AWithdrawnJobNeverRunsAndARunningOneCannotBeWithdrawn) {
  Gate gate;
  Lanes lanes(LaneLimits{.max_busy_lanes = 1, .max_waiting_per_lane = 1});
  auto running = lanes.submit("a", [&] { gate.pass(); gate.record("first"); });
  ASSERT_TRUE(running);
  gate.await_waiting(1);
  auto waiting = lanes.submit("a", [&] { gate.record("withdrawn"); });
  ASSERT_TRUE(waiting);
  EXPECT_FALSE(lanes.withdraw(*running));
  EXPECT_TRUE(lanes.withdraw(*waiting));
  EXPECT_FALSE(lanes.withdraw(*waiting));
  EXPECT_TRUE(lanes.submit("a", [&] { gate.record("after"); })) << "its place is free again";
  gate.open();
  ASSERT_TRUE(threads_end(lanes));
  EXPECT_EQ(gate.log(), (std::vector<std::string>{"first", "after"}));
}

TEST(Lanes, AThreadThatCannotBeStartedCostsOneJobAndLeavesTheLaneUsable) {
  Gate gate;
  int failures = 0;  // the next starts to fail, each with what it throws
  std::function<void()> fail_with;
  Lanes lanes({}, [&](std::function<void()> loop) {
    if (failures > 0) {
      --failures;
      fail_with();
    }
    return std::thread(std::move(loop));
  });
  const std::function<void()> throws[] = {
      [] { throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)); },
      [] { throw std::bad_alloc(); },
      [] { throw 42; },
  };
  for (const auto& thrower : throws) {
    failures = 1;
    fail_with = thrower;
    const auto refused = lanes.submit("a", [&] { gate.record("never"); });
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), Lanes::Refusal::NoThread);
    EXPECT_EQ(lanes.threads(), 0u);
    ASSERT_TRUE(lanes.submit("a", [&] { gate.record("a"); })) << "the next job starts the lane";
    ASSERT_TRUE(threads_end(lanes));
  }
  EXPECT_EQ(gate.log(), (std::vector<std::string>{"a", "a", "a"}));
}

TEST(Lanes, StoppingDropsWaitingJobsAndWaitsForTheRunningOne) {
  Gate gate;
  auto dropped = std::make_shared<int>(0);
  std::weak_ptr<int> watch = dropped;
  std::thread opener;
  {
    Lanes lanes;
    ASSERT_TRUE(lanes.submit("a", [&] { gate.pass(); gate.record("ran"); }));
    ASSERT_TRUE(lanes.submit("a", [&, dropped] { gate.record("never"); }));
    dropped.reset();
    gate.await_waiting(1);
    opener = std::thread([&] {
      std::this_thread::sleep_for(50ms);
      gate.open();
    });
  }
  opener.join();
  EXPECT_EQ(gate.log(), std::vector<std::string>{"ran"});
  EXPECT_TRUE(watch.expired()) << "what a dropped job held is released";
}

}  // namespace
}  // namespace zunel
