#pragma once
// The time source of every expiry rule. Injected so tests can stand exactly
// on a boundary instead of sleeping.

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

}  // namespace zunel
