#include "server/jobs/job_ledger.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "base/diagnostic_line.h"
#include "server/jobs/job_store.h"

namespace zunel {
namespace {

const char* const SYNC_TOO_SLOW = "el disco tardó demasiado en guardar el inicio del trabajo";

}  // namespace

JobLedger::JobLedger(JobLedgerLimits limits) : limits_(limits), registry_(limits.registry) {}

JobLedger::JobLedger(std::filesystem::path directory, AppendFiles& files, std::ostream& diagnostics,
                     const std::function<std::vector<JobRegistry::Known>()>& legacy_jobs, JobLedgerLimits limits)
    : limits_(limits),
      registry_(limits.registry),
      path_(directory / JOB_STORE_FILE),
      files_(&files),
      diagnostics_(&diagnostics) {
  std::vector<JobRegistry::Known> known;
  auto tail = files.read_tail(path_, limits.read_bytes);
  if (!tail) {
    // Not a file it can read (a directory, a link, a FIFO, a device): the
    // jobs it may hold are unknown, so none is started with an id.
    unreadable_store_ = true;
    say("no se pudo leer", tail.error());
    return;
  }
  if (tail->size == 0) {
    if (legacy_jobs) known = legacy_jobs();
  } else {
    JobStoreReading reading = read_job_store(tail->text, tail->size <= limits.read_bytes);
    if (reading.unknown_format) {
      // A later version's store is kept aside, not overwritten.
      std::error_code ec;
      std::filesystem::rename(path_, directory / (std::string(JOB_STORE_FILE) + ".other-version"), ec);
      say_line(*diagnostics_, "[trabajos] " + std::string(JOB_STORE_FILE) +
                                  " tiene un formato desconocido: apartado como " + std::string(JOB_STORE_FILE) +
                                  ".other-version");
    }
    unreadable_ = reading.unreadable;
    known = std::move(reading.jobs);
    untold_cuts_ = std::move(reading.untold_cuts);
  }
  for (JobRegistry::Known& job : known) registry_.restore(job.device, job.job_id, std::move(job.record));
  if (unreadable_ > 0) {
    say_line(*diagnostics_, "[trabajos] " + std::to_string(unreadable_) + " líneas ilegibles en " +
                                std::string(JOB_STORE_FILE) + " (se ignoraron; copia en " +
                                std::string(JOB_STORE_DAMAGED_FILE) + ")");
    (void)files.replace(directory / JOB_STORE_DAMAGED_FILE, tail->text);
  }
  std::lock_guard lock(mutex_);
  rewrite();
}

JobLedger::~JobLedger() = default;

JobRegistry::Claimed JobLedger::claim(std::string_view device, std::string_view job_id,
                                      const Sha256Digest& fingerprint, std::uint64_t now) {
  return registry_.claim(device, job_id, fingerprint, now);
}

Status JobLedger::start(std::string_view device, std::string_view job_id) {
  std::uint64_t mine = 0;
  {
    std::lock_guard lock(mutex_);
    registry_.started(device, job_id);
    if (files_ == nullptr) return {};
    const std::optional<JobRecord> known = registry_.find(device, job_id);
    // A store that could not be written is written anew first.
    if (!known || unreadable_store_ || (!file_ && !rewrite()) ||
        !append(job_start_line(device, job_id, *known))) {
      registry_.forget(device, job_id);
      return fail("no se pudo guardar el inicio del trabajo en " + std::string(JOB_STORE_FILE));
    }
    mine = appended_;
  }
  Status stored = synced(mine);
  if (stored) return stored;
  std::lock_guard lock(mutex_);
  registry_.forget(device, job_id);
  // Its start may still reach the disk: the store says it was not sent.
  if (file_) (void)append(job_drop_line(device, job_id));
  // After a failed sync the lines since the last good one may be lost: the
  // store is written anew from memory, or refuses starts until it can be.
  if (stored.error() != SYNC_TOO_SLOW && !rewrite()) close();
  return stored;
}

void JobLedger::finish(std::string_view device, std::string_view job_id, JobAnswer answer, std::uint64_t now) {
  std::lock_guard lock(mutex_);
  if (files_ != nullptr && file_) (void)append(job_end_line(device, job_id, now, answer));
  registry_.finished(device, job_id, std::move(answer), now);
  if (file_ && file_->size() >= std::max(limits_.rewrite_bytes, 2 * rewritten_size_)) rewrite();
}

void JobLedger::forget(std::string_view device, std::string_view job_id) { registry_.forget(device, job_id); }

std::vector<JobRegistry::Known> JobLedger::take_untold_cuts() {
  std::lock_guard lock(mutex_);
  return std::exchange(untold_cuts_, {});
}

std::vector<JobRegistry::Known> JobLedger::cut_running() {
  std::vector<JobRegistry::Known> running;
  std::uint64_t mine = 0;
  {
    std::lock_guard lock(mutex_);
    for (JobRegistry::Known& job : registry_.started_jobs()) {
      if (job.record.state != JobState::Running) continue;
      if (files_ != nullptr && file_) (void)append(job_cut_line(job.device, job.job_id));
      running.push_back(std::move(job));
    }
    if (running.empty() || files_ == nullptr || !file_) return running;
    mine = appended_;
  }
  (void)synced(mine);
  return running;
}

std::optional<JobRecord> JobLedger::find(std::string_view device, std::string_view job_id) const {
  return registry_.find(device, job_id);
}

void JobLedger::restore(std::string_view device, std::string_view job_id, JobRecord record) {
  registry_.restore(device, job_id, std::move(record));
}

std::size_t JobLedger::size() const { return registry_.size(); }

bool JobLedger::append(const std::string& line) {
  Status written = file_->append(line + '\n');
  if (!written) {
    say("no se pudo escribir en", written.error());
    return false;
  }
  std::lock_guard sync(sync_mutex_);
  ++appended_;
  if (failing_) {
    failing_ = false;
    say_line(*diagnostics_, "[trabajos] " + std::string(JOB_STORE_FILE) + " se guarda de nuevo");
  }
  return true;
}

bool JobLedger::rewrite() {
  if (files_ == nullptr) return false;
  // The file is not replaced under a running sync.
  std::unique_lock sync(sync_mutex_);
  sync_done_.wait(sync, [this] { return !syncing_; });
  if (Status written = files_->replace(path_, job_store_text(registry_.started_jobs())); !written) {
    say("no se pudo escribir", written.error());
    return false;
  }
  auto opened = files_->open(path_);
  if (!opened) {
    file_.reset();  // under sync_mutex_, no sync running
    say("no se pudo abrir", opened.error());
    return false;
  }
  file_ = std::move(*opened);
  rewritten_size_ = file_->size();
  // Everything appended so far is in the new file, which was synced.
  synced_ = appended_;
  return true;
}

void JobLedger::close() {
  std::unique_lock sync(sync_mutex_);
  sync_done_.wait(sync, [this] { return !syncing_; });
  file_.reset();
}

Status JobLedger::synced(std::uint64_t mine) {
  std::unique_lock lock(sync_mutex_);
  const auto deadline = std::chrono::steady_clock::now() + limits_.sync_wait;
  const std::uint64_t failures = sync_failures_;
  while (synced_ < mine) {
    if (sync_failures_ != failures) return fail(sync_error_);
    if (!syncing_) {
      // Leads one sync for every line appended so far. The file is not
      // replaced while syncing_ is set.
      AppendFile* const file = file_.get();
      if (file == nullptr) return fail("no se pudo guardar el inicio del trabajo en " + std::string(JOB_STORE_FILE));
      syncing_ = true;
      const std::uint64_t target = appended_;
      lock.unlock();
      Status done = file->sync();
      lock.lock();
      syncing_ = false;
      if (done) {
        synced_ = std::max(synced_, target);
      } else {
        ++sync_failures_;
        sync_error_ = "no se pudo asegurar el inicio del trabajo en el disco: " + done.error();
      }
      sync_done_.notify_all();
      continue;
    }
    if (sync_done_.wait_until(lock, deadline) == std::cv_status::timeout && synced_ < mine) return fail(SYNC_TOO_SLOW);
  }
  return {};
}

void JobLedger::say(std::string_view what, std::string_view error) {
  if (failing_) return;
  failing_ = true;
  say_line(*diagnostics_, "[trabajos] " + std::string(what) + " " + path_.filename().string() + ": " +
                              std::string(error) + "; los trabajos con job_id se rechazan hasta que se pueda guardar");
}

}  // namespace zunel
