#pragma once
// A clock for tests: it stands still until the test moves it, so an expiry
// is checked exactly on its boundary instead of by sleeping.

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

}  // namespace zunel
