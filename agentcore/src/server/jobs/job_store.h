#pragma once
// The job store's lines: "jobs.jsonl" beside pairings.json holds the job ids
// the devices gave their print jobs and what became of each, so that a job
// sent again after a restart is never printed twice. It is the journal's
// neighbour, not part of it: status changes, refusals and other support
// lines never push a job out of it.
//
// The first line names the format and its version:
//
//   {"format":"zunel-print-agent jobs","version":1}
//
// then one line per event, each a JSON object whose "e" says which:
//
//   start  the job is about to reach its printer (written and synced before
//          its first byte): "d" (device), "id" (job id), "fp" (the job's
//          fingerprint, 64 hex digits), "a" (accepted, seconds since 1970)
//   end    its answer: "d", "id", "t" (ended, seconds since 1970), "s" (the
//          HTTP status, 100 to 599), "b" (the answer's JSON body, or null
//          when it was not JSON or longer than JOB_ANSWER_MAX_BYTES)
//   drop   the job was not sent after all (its start could not be synced):
//          "d", "id"
//   cut    the job was cut (a stop, a crash) and the journal says so: "d",
//          "id"
//
// A start without an end is a job cut by a crash or a stop: interrupted.
// One without a cut line too has not been told yet.
// The store is rewritten from the jobs remembered (temporary file, synced,
// renamed) when the agent starts and whenever it has grown to twice that,
// so it holds about what the registry holds: at most 16,384 jobs, each under
// JOB_STORE_LINE_MAX_BYTES a line.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/jobs/job_registry.h"

namespace zunel {

inline constexpr std::string_view JOB_STORE_FILE = "jobs.jsonl";
// A store found with unreadable lines is kept here, as it was, before it is
// rewritten: for support, who can see what the damage was.
inline constexpr std::string_view JOB_STORE_DAMAGED_FILE = "jobs.jsonl.unreadable";
inline constexpr std::string_view JOB_STORE_HEADER = R"({"format":"zunel-print-agent jobs","version":1})";
inline constexpr std::size_t JOB_ANSWER_MAX_BYTES = 1024;
inline constexpr std::size_t JOB_STORE_LINE_MAX_BYTES = 4096;

std::string job_start_line(std::string_view device, std::string_view job_id, const JobRecord& record);
std::string job_end_line(std::string_view device, std::string_view job_id, std::uint64_t ended,
                         const JobAnswer& answer);
std::string job_drop_line(std::string_view device, std::string_view job_id);
std::string job_cut_line(std::string_view device, std::string_view job_id);

// The whole store as it is rewritten: its header, then each job's start
// and, when it ended, its end, when it was interrupted, its cut.
std::string job_store_text(const std::vector<JobRegistry::Known>& jobs);

// What a store's text says.
struct JobStoreReading {
  std::vector<JobRegistry::Known> jobs;  // oldest first; interrupted when never ended
  // The interrupted jobs that no cut line told yet.
  std::vector<JobRegistry::Known> untold_cuts;
  // Lines that are not one of the store's (a damaged file), a torn last
  // line left aside.
  std::size_t unreadable = 0;
  // The header names a format this build does not read: nothing was taken.
  bool unknown_format = false;
};

// Reads `text`, the whole store or, when `whole` is false, its tail (whose
// first, cut line is skipped and whose header is not seen). Every field is
// range-checked; a line that breaks a rule is unreadable and changes nothing.
JobStoreReading read_job_store(std::string_view text, bool whole);

}  // namespace zunel
