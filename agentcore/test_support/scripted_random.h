#pragma once
// A random source for tests: predictable ids and tokens, and a failure
// placed on any chosen call.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "base/random_source.h"

namespace zunel {

// Hands out scripted bytes: each fill() takes the next queued chunk if there
// is one (padded with zeros, or cut, to the size asked for), otherwise a
// running counter (0, 1, 2, ... wrapping). Records how many bytes each call
// asked for, the failed ones included.
class ScriptedRandom final : public RandomSource {
 public:
  Status fill(std::span<std::uint8_t> out) override {
    calls.push_back(out.size());
    if (countdown_ >= 0 && countdown_-- == 0) return fail(CSPRNG_UNAVAILABLE);
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
  // The n-th call from now (0 being the next) fails with CSPRNG_UNAVAILABLE
  // and takes nothing from the script, so a failure can be placed in the
  // middle of an operation. Replaces a failure placed before.
  void fail_call(int n) { countdown_ = n; }
  void fail_next() { fail_call(0); }

  std::vector<std::size_t> calls;

 private:
  std::deque<std::vector<std::uint8_t>> chunks_;
  int countdown_ = -1;
  std::uint8_t counter_ = 0;
};

}  // namespace zunel
