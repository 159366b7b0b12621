#pragma once
// The job ids the devices gave their print jobs, and what became of each
// job: so that a job sent again under its id is never printed twice, and a
// page can ask after a job whose answer it lost.
//
// A job id belongs to its device: two devices may use the same one. A job
// is known by the SHA-256 of its target and bytes (job_fingerprint); the
// same id with another fingerprint is another job. The registry remembers
// every job for at least `keep_secs` and at least the last `keep_jobs`
// jobs, never more than `max_jobs` in all (the oldest goes first), so its
// memory is bounded. A job that waits or runs is never forgotten to make
// room: when running and waiting jobs alone fill the bound, a new job id is
// refused (Claim::Full). A job that never reached its printer (it did not start
// before its deadline, or its lane refused it) is forgotten: the page may
// send it again under the same id.
//
// Its own short lock, never held across input or output: every operation is
// safe from any thread, the server's I/O thread included.

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/sha256.h"
#include "printing/print_target.h"

namespace zunel {

enum class JobState { Waiting, Running, Done, Interrupted };

// "waiting", "running", "done", "interrupted": the wire form.
const char* job_state_name(JobState state);

// An answer as it was given: its HTTP status and JSON body.
struct JobAnswer {
  unsigned status = 0;
  std::string body;
};

struct JobRecord {
  Sha256Digest fingerprint{};
  JobState state = JobState::Waiting;
  std::uint64_t accepted = 0;           // seconds since 1970, UTC
  std::optional<std::uint64_t> ended{};  // Done only
  std::optional<JobAnswer> answer{};    // Done only
};

struct JobRegistryLimits {
  std::size_t keep_jobs = 4096;
  std::uint64_t keep_secs = 24 * 60 * 60;
  std::size_t max_jobs = 16384;
};

// The one identity of a job: its target (as target_json writes it) and the
// SHA-256 of its bytes, so that it can be rebuilt from the journal, which
// keeps both and never the bytes.
Sha256Digest job_fingerprint(std::string_view target_json, const Sha256Digest& bytes_digest);


class JobRegistry {
 public:
  explicit JobRegistry(JobRegistryLimits limits = {});

  enum class Claim {
    New,    // unknown: now remembered as waiting, the caller prints it
    Same,   // known with this fingerprint: `known` says how it stands
    Other,  // known with another fingerprint
    Full,   // unknown, and no room: every job remembered is waiting or running
  };
  struct Claimed {
    Claim claim = Claim::New;
    JobRecord known;  // Same and Other
  };

  Claimed claim(std::string_view device, std::string_view job_id, const Sha256Digest& fingerprint,
                std::uint64_t now);
  void started(std::string_view device, std::string_view job_id);
  void finished(std::string_view device, std::string_view job_id, JobAnswer answer, std::uint64_t now);
  // The job never reached its printer.
  void forget(std::string_view device, std::string_view job_id);

  std::optional<JobRecord> find(std::string_view device, std::string_view job_id) const;

  // Remembers a job as the journal tells it (when the agent starts).
  void restore(std::string_view device, std::string_view job_id, JobRecord record);

  std::size_t size() const;

  // Every job that has started (running, done or interrupted), oldest
  // first: what the job store must hold.
  struct Known {
    std::string device;
    std::string job_id;
    JobRecord record;
  };
  std::vector<Known> started_jobs() const;

 private:
  struct Entry {
    JobRecord record;
    std::uint64_t order = 0;
  };
  // Forgets what the rule lets go; false when the registry is still full.
  bool make_room(std::uint64_t now);
  void insert(std::string key, JobRecord record);

  const JobRegistryLimits limits_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Entry> jobs_;
  std::map<std::uint64_t, std::string> order_;  // oldest first
  std::uint64_t next_order_ = 0;
};

}  // namespace zunel
