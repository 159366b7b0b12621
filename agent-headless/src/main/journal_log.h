#pragma once
// The `log` command's text: the journal's lines (base/journal.h) told one
// per line in Spanish, for a person: local time, event, device, target,
// outcome, duration.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zunel {

inline constexpr std::size_t LOG_DEFAULT_ENTRIES = 50;

// Seconds since 1970 as the reader's local time, "2026-12-08 12:31:05".
using LocalTime = std::function<std::string(std::uint64_t secs)>;

// The operating system's local time zone; UTC's iso_utc() text when the
// system cannot tell the local time.
std::string system_local_time(std::uint64_t secs);

// Seconds since 1970 on the calendar of a zone `offset` seconds east of UTC,
// with that offset: "2026-12-10 11:27:51 -03:00". Past 9999-12-31 the
// calendar is not asked: "253402300800 s desde 1970".
std::string time_at_offset(std::uint64_t secs, std::int32_t offset);

// The local time zone's offset from UTC at that moment, in seconds east;
// nothing when the system cannot tell.
std::optional<std::int32_t> system_utc_offset(std::uint64_t secs);

// The local time with its offset, "2026-12-10 11:27:51 -03:00" (UTC's,
// +00:00, when the system cannot tell the local time): every time `report`
// shows.
std::string system_local_time_with_offset(std::uint64_t secs);

// One line per journal line, oldest first, without a final line feed; a
// line that holds no event it knows is told by its event name alone. Says
// so when there are none.
std::string render_journal(const std::vector<std::string>& lines, const LocalTime& local_time = system_local_time);

}  // namespace zunel
