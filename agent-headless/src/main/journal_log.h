#pragma once
// The `log` command's text: the journal's lines (base/journal.h) told one
// per line in Spanish, for a person: local time, event, device, target,
// outcome, duration.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zunel {

inline constexpr std::size_t LOG_DEFAULT_ENTRIES = 50;

// Seconds since 1970 as the reader's local time, "2026-12-08 12:31:05".
using LocalTime = std::function<std::string(std::uint64_t secs)>;

// The operating system's local time zone.
std::string system_local_time(std::uint64_t secs);

// One line per journal line, oldest first, without a final line feed; a
// line that holds no event it knows is told by its event name alone. Says
// so when there are none.
std::string render_journal(const std::vector<std::string>& lines, const LocalTime& local_time = system_local_time);

}  // namespace zunel
