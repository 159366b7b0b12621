#pragma once
// The job ids and what became of each job, kept in step in memory (the
// registry) and on disk (the job store, job_store.h): the one way the API
// claims, starts, ends and asks after jobs.
//
// The promise it keeps: a job with an id reaches its printer only once its
// start is on stable storage (written and synced), so that after a crash,
// a kill or a power cut the job is known again, as done or interrupted, and
// never printed a second time. When the start cannot be stored (the disk is
// full or refuses, the store cannot be opened, the sync fails or takes
// longer than `sync_wait`), start() fails and the job must not be sent.
// Starts that arrive while a sync runs share the next one.
//
// Every operation is safe from any thread; claim(), find() and forget() of
// a job that never started touch no file and never wait for the disk, so the
// server's I/O thread may call them.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "base/append_file.h"
#include "base/outcome.h"
#include "server/jobs/job_registry.h"

namespace zunel {

struct JobLedgerLimits {
  JobRegistryLimits registry;
  // How long a start waits for its sync before the job is refused.
  std::chrono::milliseconds sync_wait{2000};
  // The store is rewritten once it is this large and twice its size after
  // the last rewrite; read back from its end only beyond `read_bytes`.
  std::uint64_t rewrite_bytes = 4u << 20;
  std::size_t read_bytes = 64u << 20;
};

class JobLedger {
 public:
  // In memory only: jobs are not kept across a restart (tests, fuzzing).
  explicit JobLedger(JobLedgerLimits limits = {});

  // The ledger of the store in `directory`: the jobs it holds are known
  // again, and it is rewritten whole. When there is no store yet,
  // `legacy_jobs` gives the jobs an earlier version kept in its journal.
  // A store that cannot be written is said once on `diagnostics`; the
  // ledger then refuses every start until a rewrite succeeds. A store that
  // cannot be read at all (not a regular file, or unreadable) is left as it
  // is and every start is refused: the jobs it may hold are unknown.
  JobLedger(std::filesystem::path directory, AppendFiles& files, std::ostream& diagnostics,
            const std::function<std::vector<JobRegistry::Known>()>& legacy_jobs, JobLedgerLimits limits = {});
  ~JobLedger();
  JobLedger(const JobLedger&) = delete;
  JobLedger& operator=(const JobLedger&) = delete;

  JobRegistry::Claimed claim(std::string_view device, std::string_view job_id, const Sha256Digest& fingerprint,
                             std::uint64_t now);
  // The job is about to reach its printer: marked running and stored. On
  // failure it is forgotten (it may be sent again under its id) and the
  // error says why; nothing may be sent.
  [[nodiscard]] Status start(std::string_view device, std::string_view job_id);
  void finish(std::string_view device, std::string_view job_id, JobAnswer answer, std::uint64_t now);
  // A claimed job that never started.
  void forget(std::string_view device, std::string_view job_id);
  std::optional<JobRecord> find(std::string_view device, std::string_view job_id) const;
  // Remembers a job as a store tells it, in memory.
  void restore(std::string_view device, std::string_view job_id, JobRecord record);
  std::size_t size() const;

  // Lines of the store that could not be read when it was opened (not a
  // torn last line).
  std::size_t unreadable_lines() const { return unreadable_; }

  // The jobs the store found cut (started, never ended) that no journal
  // line told yet; given once.
  std::vector<JobRegistry::Known> take_untold_cuts();
  // The jobs running now, which the process is about to cut (a stop whose
  // grace ran out): stored as cut, and given to be told.
  std::vector<JobRegistry::Known> cut_running();

 private:
  // REQUIRES: mutex_ held. Appends `line`; false (said once) when it fails.
  bool append(const std::string& line);
  // REQUIRES: mutex_ held, no sync running. Writes the store anew from the
  // registry and reopens it.
  bool rewrite();
  // REQUIRES: mutex_ held. Closes the store: starts are refused until a
  // rewrite succeeds.
  void close();
  // Waits until the lines appended up to `mine` are synced, or the wait ends.
  Status synced(std::uint64_t mine);
  void say(std::string_view what, std::string_view error);

  const JobLedgerLimits limits_;
  JobRegistry registry_;
  const std::filesystem::path path_;
  AppendFiles* const files_ = nullptr;  // null: in memory only
  std::ostream* const diagnostics_ = nullptr;
  std::size_t unreadable_ = 0;
  std::vector<JobRegistry::Known> untold_cuts_;  // under mutex_
  // The store could not be read when the agent started: the jobs it holds
  // are unknown, so no job with an id starts.
  bool unreadable_store_ = false;

  // Orders the registry's changes with the store's lines.
  mutable std::mutex mutex_;
  // Null when it cannot be written. Replaced under both mutexes and never
  // while a sync runs, so either mutex is enough to read it.
  std::unique_ptr<AppendFile> file_;
  std::uint64_t appended_ = 0;          // under mutex_ and sync_mutex_: lines appended
  std::uint64_t rewritten_size_ = 0;    // under mutex_
  bool failing_ = false;                // under mutex_: said once

  // The group commit: one sync at a time, for every line appended before it.
  std::mutex sync_mutex_;
  std::condition_variable sync_done_;
  bool syncing_ = false;                // under sync_mutex_
  std::uint64_t synced_ = 0;            // under sync_mutex_
  std::uint64_t sync_failures_ = 0;     // under sync_mutex_
  std::string sync_error_;              // under sync_mutex_
};

}  // namespace zunel
