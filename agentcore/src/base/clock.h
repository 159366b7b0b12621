#pragma once
// The time source of every expiry rule. Injected so tests can stand exactly
// on a boundary instead of sleeping.

#include <chrono>
#include <cstdint>

namespace zunel {

class Clock {
 public:
  virtual ~Clock() = default;
  // Whole seconds since 1970-01-01 UTC; a clock set before 1970 reads 0.
  virtual std::uint64_t now_secs() const = 0;
};

// The operating system's wall clock. Lives for the whole process.
Clock& system_clock();

// The time source of every wait that must end on time (a printer's reply).
// It never goes back, whatever the wall clock does.
class MonotonicClock {
 public:
  virtual ~MonotonicClock() = default;
  // Time since an arbitrary fixed point.
  virtual std::chrono::milliseconds now() const = 0;
};

// std::chrono::steady_clock. Lives for the whole process.
MonotonicClock& system_monotonic_clock();

}  // namespace zunel
