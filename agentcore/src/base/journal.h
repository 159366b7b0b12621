#pragma once
// The journal: what the agent did, one line of JSON per event, appended to
// "journal.jsonl" in the data directory beside pairings.json (private like
// it). At 1 MiB the file becomes "journal.1.jsonl" (the previous one is
// dropped) and a new one begins, so both together hold at most 2 MiB.
//
// Every line is an object with "t" (when, UTC, ISO 8601 to the second) and
// "event", then the event's members. Each event's name and members are
// documented beside the constant that names it, in the room that writes it:
// server/journal_events.h (prints, printer status, pairings, revocation
// lists, refusals), control/control_protocol.h (control commands),
// main/run.h (the agent's start and stop) and here (journal_dropped);
// `log` (main/journal_log) tells every one of them in words.
//
//   journal_dropped  lines lost because the writer fell behind: "count"
//
// "target" is {"kind":...} with the kind's fields (host and port, port and
// baud, printer): never the bytes. No line ever holds printed data, a
// token, a pairing code, a signature, a nonce or a ticket's text. A line is
// written whole or not at all; a torn last line (a crash while writing) is
// skipped by the reader.

#include <boost/json/object.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace zunel {

inline constexpr std::string_view JOURNAL_FILE = "journal.jsonl";
inline constexpr std::string_view JOURNAL_PREVIOUS_FILE = "journal.1.jsonl";
inline constexpr std::string_view JOURNAL_DROPPED_EVENT = "journal_dropped";

// Where events go. Implementations never block on the disk.
class Journal {
 public:
  virtual ~Journal() = default;
  // `line`: one JSON object, without a line feed.
  virtual void record(std::string line) = 0;
  // The same as record(), from a thread that may wait for the disk (a job's
  // lane, once its answer is on its way): the line is written on the calling
  // thread when no other write is under way, so that no thread is woken for
  // it; otherwise it is queued. Never waits for another writer.
  virtual void record_here(std::string line) { record(std::move(line)); }
};

// "2026-12-08T11:54:53Z".
std::string iso_utc(std::uint64_t secs_since_epoch);

// The seconds since 1970 of an iso_utc() text; false when it is not one.
bool parse_iso_utc(std::string_view text, std::uint64_t& secs_since_epoch);

// One line of the journal: "t" and "event", then `members` in their order.
std::string journal_line(std::uint64_t now, std::string_view event, const boost::json::object& members);

// The same line written straight as text, member by member, for the lines
// every print writes: no tree of values is built and walked. Strings are
// escaped as boost::json escapes them.
class JournalLine {
 public:
  JournalLine(std::uint64_t now, std::string_view event);
  JournalLine& text(std::string_view key, std::string_view value);
  JournalLine& text_or_null(std::string_view key, const std::optional<std::string>& value);
  JournalLine& time(std::string_view key, std::uint64_t secs_since_epoch);  // iso_utc
  JournalLine& time_or_null(std::string_view key, const std::optional<std::uint64_t>& secs_since_epoch);
  JournalLine& number(std::string_view key, std::int64_t value);
  JournalLine& null(std::string_view key);
  // `json` is already one JSON value (the caller answers for it); empty,
  // it is written as null.
  JournalLine& json(std::string_view key, std::string_view json);
  std::string done() &&;

 private:
  void key(std::string_view key);
  void quoted(std::string_view value);
  std::string line_;
};

}  // namespace zunel
