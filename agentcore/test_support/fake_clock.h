#pragma once
// A clock for tests: it stands still until the test moves it, so an expiry
// is checked exactly on its boundary instead of by sleeping.

#include <chrono>
#include <cstdint>

#include "base/clock.h"

namespace zunel {

// A clock that reads what the test sets.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(std::uint64_t start = 1'700'000'000) : now_(start) {}
  std::uint64_t now_secs() const override { return now_; }
  void set(std::uint64_t t) { now_ = t; }
  void advance(std::uint64_t secs) { now_ += secs; }

 private:
  std::uint64_t now_;
};

// A monotonic clock that moves only when the test (or a fake that stands
// for a wait) moves it.
class FakeMonotonicClock final : public MonotonicClock {
 public:
  std::chrono::milliseconds now() const override { return now_; }
  void advance(std::chrono::milliseconds by) { now_ += by; }

 private:
  std::chrono::milliseconds now_{1'000'000};
};

}  // namespace zunel
