#pragma once
// The operating system's cryptographic random generator, behind an interface
// so tests can script the bytes (predictable ids and tokens) or make it fail.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

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

// Hands out scripted bytes: each fill() takes the next scripted chunk if one
// is queued, otherwise a running counter (0, 1, 2, ... wrapping). fail_next()
// makes the next fill fail. Records how many bytes each call asked for.
class ScriptedRandom final : public RandomSource {
 public:
  Status fill(std::span<std::uint8_t> out) override {
    calls.push_back(out.size());
    if (failures_ > 0) {
      --failures_;
      return fail(CSPRNG_UNAVAILABLE);
    }
    if (!chunks_.empty()) {
      std::vector<std::uint8_t> chunk = std::move(chunks_.front());
      chunks_.pop_front();
      for (std::size_t i = 0; i < out.size(); ++i) out[i] = i < chunk.size() ? chunk[i] : 0;
      return {};
    }
    for (auto& b : out) b = counter_++;
    return {};
  }
  void queue(std::vector<std::uint8_t> bytes) { chunks_.push_back(std::move(bytes)); }
  void fail_next(int times = 1) { failures_ += times; }

  std::vector<std::size_t> calls;

 private:
  std::deque<std::vector<std::uint8_t>> chunks_;
  int failures_ = 0;
  std::uint8_t counter_ = 0;
};

}  // namespace zunel
