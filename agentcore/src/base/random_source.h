#pragma once
// The operating system's cryptographic random generator, behind an interface
// so tests can script the bytes (predictable ids and tokens) or make it fail.

#include <cstdint>
#include <span>

#include "base/outcome.h"

namespace zunel {

// The error text of a random source that cannot deliver.
inline constexpr const char* CSPRNG_UNAVAILABLE = "CSPRNG del SO no disponible";

class RandomSource {
 public:
  virtual ~RandomSource() = default;
  // Fills `out` completely or fails with CSPRNG_UNAVAILABLE. Never falls back
  // to weaker bytes.
  [[nodiscard]] virtual Status fill(std::span<std::uint8_t> out) = 0;
};

// The system's generator (getrandom on Linux; BCryptGenRandom, then
// RtlGenRandom, on Windows). Thread-safe; lives for the whole process.
RandomSource& system_random();

}  // namespace zunel
