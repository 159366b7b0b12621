#pragma once
// Writing every byte through a call that may take only some of them: the one
// loop of the TCP and serial channels, for jobs and for status queries.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "base/outcome.h"

namespace zunel {

// The error of a write call that took nothing.
inline constexpr const char* WRITE_TOOK_NOTHING = "failed to write whole buffer";

// Calls `write_some(data, size)`, which gives the count it took as an
// Outcome<std::size_t>, until every byte is taken, offering at most
// `max_piece` bytes a call, straight from the caller's buffer. Fails with
// the call's error, or with "failed to write whole buffer" when a call takes
// nothing.
template <typename WriteSome>
[[nodiscard]] Status write_all(std::span<const std::uint8_t> bytes, WriteSome&& write_some,
                               std::size_t max_piece = std::numeric_limits<std::size_t>::max()) {
  while (!bytes.empty()) {
    auto taken = write_some(bytes.data(), std::min(bytes.size(), max_piece));
    if (!taken) return fail(taken.error());
    if (*taken == 0) return fail(WRITE_TOOK_NOTHING);
    bytes = bytes.subspan(*taken);
  }
  return {};
}

}  // namespace zunel
