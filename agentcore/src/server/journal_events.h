#pragma once
// The HTTP API's lines of the journal (their form: base/journal.h), and the
// job registry rebuilt from them when the agent starts.
//
// Bounded so that no page can push a day of prints out of the journal: a
// printer's status is written only when its answer changes, and at most
// STATUS_LINES_PER_MINUTE times a minute for one printer (the changes left
// out are counted in its next line); at most REFUSALS_PER_MINUTE refusals
// are written a minute (the rest are counted in the next one written).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/clock.h"
#include "base/journal.h"
#include "base/sha256.h"
#include "server/jobs/job_registry.h"

namespace zunel {

// The events the API writes to the journal (its line format: base/journal.h)
// and their members.
namespace journal_events {
// A job handed to its printer: "job_id" (or null), "device", "accepted",
// "started", "target", "byte_count", "sha256".
inline constexpr std::string_view PRINT_START = "print_start";
// A job's end: "job_id" (or null), "device", "label", "origin", "target",
// "byte_count", "sha256" (of the bytes), "accepted", "started" (null when it
// never started), "ended", "status" (the HTTP status answered), "answer"
// (the answer's body: "ok", "error", "confirmed"...), "wait_ms", "send_ms"
// (sending, with the confirmation when one was asked; null when the job
// never started).
inline constexpr std::string_view PRINT = "print";
// A job id seen before: "job_id", "device", "label", "status", "state" (of
// the first job when asked again).
inline constexpr std::string_view PRINT_REPEAT = "print_repeat";
// A job with an id cut while it ran: "job_id", "device", "accepted", "when"
// ("agent_stop": the stop's grace ran out; "agent_start": found so at the
// next start, after a crash, a kill or a power cut).
inline constexpr std::string_view PRINT_INTERRUPTED = "print_interrupted";
// A printer's answer changed: "device", "target", "status", "answer",
// "changes_untold" (changes left out before it).
inline constexpr std::string_view PRINTER_STATUS = "printer_status";
// "device", "origin", "label", "source" ("code" or "auto").
inline constexpr std::string_view PAIRING = "pairing";
// "seq", "removed" (device ids).
inline constexpr std::string_view REVOCATIONS = "revocations";
// A refusal that points at a misconfiguration: "status" (403 or 401),
// "reason", "origin", "path", "repeats" (the same refusals left out since
// the last one written).
inline constexpr std::string_view REFUSED = "refused";
}  // namespace journal_events

// One print job as the journal tells it: filled on the I/O thread when the
// job is accepted, then by its lane.
struct JobTrace {
  std::string device;
  std::string label;
  std::string origin;
  std::optional<std::string> job_id;
  std::string target;  // target_json
  std::size_t byte_count = 0;
  std::optional<Sha256Digest> bytes_digest;
  std::uint64_t accepted = 0;
  std::optional<std::uint64_t> started;
  std::chrono::milliseconds accepted_at{0};  // monotonic
  std::chrono::milliseconds started_at{0};
  // Set by the lane when the job has its answer; its line is written once
  // the answer is on its way.
  std::optional<JobAnswer> answer;
  std::optional<std::chrono::milliseconds> sent;
};

class ServerEvents {
 public:
  static constexpr std::size_t REFUSALS_PER_MINUTE = 10;
  static constexpr std::size_t STATUS_LINES_PER_MINUTE = 4;

  // `journal` null: nothing is written.
  explicit ServerEvents(Journal* journal = nullptr, Clock& clock = system_clock(),
                        MonotonicClock& monotonic = system_monotonic_clock())
      : journal_(journal), clock_(clock), monotonic_(monotonic) {}

  Clock& clock() const { return clock_; }
  MonotonicClock& monotonic() const { return monotonic_; }

  // How a line reaches the journal (base/journal.h): queued for its thread
  // (from any thread, the I/O thread included), or written by the calling
  // thread when no other write is under way (a lane). What a job with an id
  // must have on disk before its first byte is the job store's business.
  enum class LineWrite { Queued, Here };

  void print_started(const JobTrace& trace, LineWrite how);
  // `sent`: how long the send (and its confirmation) took; nothing when the
  // job never started.
  void print_ended(const JobTrace& trace, const JobAnswer& answer, std::optional<std::chrono::milliseconds> sent,
                   LineWrite how = LineWrite::Queued);
  void print_repeated(const JobTrace& trace, unsigned status, JobState state);
  // A job with an id cut while it ran: found so when the agent started
  // (`at_start`), or cut now by the agent's stop.
  void print_interrupted(const JobRegistry::Known& job, bool at_start);
  // Written only when the answer for this printer differs from the last one
  // written (the time it took left aside).
  void printer_status(const std::string& printer, const std::string& device, const std::string& target,
                      unsigned status, const std::string& body);
  void paired(const std::string& device, const std::string& origin, const std::string& label,
              const char* source);
  void revocations(std::uint64_t seq, const std::vector<std::string>& removed);
  void refused(unsigned status, const char* reason, const std::string& origin, const std::string& path);

 private:
  void write(std::string_view event, const boost::json::object& members, LineWrite how = LineWrite::Queued);
  void write_line(std::string line, LineWrite how);

  Journal* const journal_;
  Clock& clock_;
  MonotonicClock& monotonic_;

  std::mutex mutex_;
  struct PrinterSeen {
    std::string answer;         // the last one seen
    std::uint64_t minute = 0;   // of the lines counted in `lines`
    std::size_t lines = 0;      // written in that minute
    std::uint64_t untold = 0;   // changes seen but not written since the last line
  };
  std::unordered_map<std::string, PrinterSeen> last_status_;  // by printer key; under mutex_
  std::uint64_t refusal_minute_ = 0;                          // under mutex_
  std::size_t refusals_this_minute_ = 0;                      // under mutex_
  std::uint64_t refusals_untold_ = 0;                         // under mutex_
};

// Rebuilds the registry from the journal's lines, oldest first: a job that
// ended is remembered with its answer, one that never started is not, and
// one that had started without an end (the agent stopped meanwhile) is
// interrupted.
void restore_jobs(JobRegistry& jobs, const std::vector<std::string>& lines);

}  // namespace zunel
