#pragma once
// Writing every byte through a call that may take only some of them: the one
// loop of the TCP and serial channels, for jobs and for status queries.
//
// A printer that keeps taking bytes, however slowly, is never cut by it: the
// write fails only when no byte at all was taken for a whole stall limit,
// measured over the whole write, not per call.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>

#include "base/clock.h"
#include "base/outcome.h"

namespace zunel {

// The error of a write whose printer took nothing for its whole stall limit
// (a job's is 5 s).
inline constexpr const char* PRINTER_STOPPED_READING = "la impresora dejó de recibir datos durante 5 s";

// A job's stall limit: its printer took no byte for this long.
inline constexpr std::chrono::milliseconds JOB_STALL_LIMIT{5000};

struct WriteLimits {
  // No byte taken for this long, by the clock: the write fails with
  // PRINTER_STOPPED_READING.
  std::chrono::milliseconds stall_limit = JOB_STALL_LIMIT;
  // Each call waits at most this long for room before the write looks at
  // the clock again; short, so that the stall is measured from the last
  // byte taken and a call is tried again even when the system would signal
  // room only once much of its buffer is free.
  std::chrono::milliseconds retry{100};
  // The most one call is offered.
  std::size_t max_piece = std::numeric_limits<std::size_t>::max();
};

// Calls `write_some(data, size, wait)`, which waits up to `wait` for room
// and gives the count it took (0: nothing in that time) as an
// Outcome<std::size_t>, until every byte is taken, straight from the
// caller's buffer. After each call that took bytes, `taken(count)` may
// end the write with its error (a job's pace floor). Fails with the call's
// error, or PRINTER_STOPPED_READING.
template <typename WriteSome, typename Taken>
[[nodiscard]] Status write_all(std::span<const std::uint8_t> bytes, WriteSome&& write_some, const MonotonicClock& clock,
                               const WriteLimits& limits, Taken&& taken) {
  auto last_taken = clock.now();
  while (!bytes.empty()) {
    const auto idle = clock.now() - last_taken;
    if (idle >= limits.stall_limit) return fail(PRINTER_STOPPED_READING);
    const auto wait = std::min(limits.retry, limits.stall_limit - idle);
    auto count = write_some(bytes.data(), std::min(bytes.size(), limits.max_piece), wait);
    if (!count) return fail(count.error());
    if (*count == 0) continue;
    last_taken = clock.now();
    bytes = bytes.subspan(std::min(*count, bytes.size()));
    if (Status going_on = taken(*count); !going_on) return going_on;
  }
  return {};
}

template <typename WriteSome>
[[nodiscard]] Status write_all(std::span<const std::uint8_t> bytes, WriteSome&& write_some, const MonotonicClock& clock,
                               const WriteLimits& limits) {
  return write_all(bytes, std::forward<WriteSome>(write_some), clock, limits, [](std::size_t) { return Status{}; });
}

}  // namespace zunel
