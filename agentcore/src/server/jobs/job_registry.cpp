#include "server/jobs/job_registry.h"


#include "base/hex.h"

namespace zunel {
namespace {

std::string key_of(std::string_view device, std::string_view job_id) {
  // A job id never holds a line feed.
  std::string key(device);
  key += '\n';
  key += job_id;
  return key;
}

}  // namespace

const char* job_state_name(JobState state) {
  switch (state) {
    case JobState::Waiting:
      return "waiting";
    case JobState::Running:
      return "running";
    case JobState::Done:
      return "done";
    case JobState::Interrupted:
      return "interrupted";
  }
  return "interrupted";
}

Sha256Digest job_fingerprint(std::string_view target_json, const Sha256Digest& bytes_digest) {
  return sha256(std::string(target_json) + '\n' + to_hex(bytes_digest));
}

JobRegistry::JobRegistry(JobRegistryLimits limits) : limits_(limits) {}

bool JobRegistry::make_room(std::uint64_t now) {
  // The oldest go once the registry holds more than it must keep, and
  // whatever their age at the hard bound; a waiting or running job stays.
  for (auto oldest = order_.begin(); oldest != order_.end();) {
    const JobRecord& record = jobs_.at(oldest->second).record;
    const bool full = jobs_.size() >= limits_.max_jobs;
    const bool over_keep = jobs_.size() >= limits_.keep_jobs && record.accepted + limits_.keep_secs <= now;
    if (!full && !over_keep) break;
    if (record.state == JobState::Waiting || record.state == JobState::Running) {
      ++oldest;
      continue;
    }
    jobs_.erase(oldest->second);
    oldest = order_.erase(oldest);
  }
  return jobs_.size() < limits_.max_jobs;
}

void JobRegistry::insert(std::string key, JobRecord record) {
  const std::uint64_t order = next_order_++;
  order_.emplace(order, key);
  jobs_[std::move(key)] = Entry{std::move(record), order};
}

JobRegistry::Claimed JobRegistry::claim(std::string_view device, std::string_view job_id,
                                        const Sha256Digest& fingerprint, std::uint64_t now) {
  std::string key = key_of(device, job_id);
  std::lock_guard lock(mutex_);
  if (const auto known = jobs_.find(key); known != jobs_.end()) {
    const JobRecord& record = known->second.record;
    return {record.fingerprint == fingerprint ? Claim::Same : Claim::Other, record};
  }
  if (!make_room(now)) return {Claim::Full, {}};
  insert(std::move(key), JobRecord{.fingerprint = fingerprint, .state = JobState::Waiting, .accepted = now});
  return {Claim::New, {}};
}

void JobRegistry::started(std::string_view device, std::string_view job_id) {
  std::lock_guard lock(mutex_);
  if (const auto known = jobs_.find(key_of(device, job_id)); known != jobs_.end()) {
    known->second.record.state = JobState::Running;
  }
}

void JobRegistry::finished(std::string_view device, std::string_view job_id, JobAnswer answer,
                           std::uint64_t now) {
  std::lock_guard lock(mutex_);
  if (const auto known = jobs_.find(key_of(device, job_id)); known != jobs_.end()) {
    JobRecord& record = known->second.record;
    record.state = JobState::Done;
    record.ended = now;
    record.answer = std::move(answer);
  }
}

void JobRegistry::forget(std::string_view device, std::string_view job_id) {
  std::lock_guard lock(mutex_);
  if (const auto known = jobs_.find(key_of(device, job_id)); known != jobs_.end()) {
    order_.erase(known->second.order);
    jobs_.erase(known);
  }
}

std::optional<JobRecord> JobRegistry::find(std::string_view device, std::string_view job_id) const {
  std::lock_guard lock(mutex_);
  const auto known = jobs_.find(key_of(device, job_id));
  if (known == jobs_.end()) return std::nullopt;
  return known->second.record;
}

void JobRegistry::restore(std::string_view device, std::string_view job_id, JobRecord record) {
  std::string key = key_of(device, job_id);
  std::lock_guard lock(mutex_);
  if (const auto known = jobs_.find(key); known != jobs_.end()) {
    order_.erase(known->second.order);
    jobs_.erase(known);
  }
  if (make_room(record.ended.value_or(record.accepted))) insert(std::move(key), std::move(record));
}

std::vector<JobRegistry::Known> JobRegistry::started_jobs() const {
  std::lock_guard lock(mutex_);
  std::vector<Known> known;
  known.reserve(jobs_.size());
  for (const auto& [order, key] : order_) {
    const JobRecord& record = jobs_.at(key).record;
    if (record.state == JobState::Waiting) continue;
    const std::size_t split = key.rfind('\n');  // a job id never holds one
    known.push_back(Known{key.substr(0, split), key.substr(split + 1), record});
  }
  return known;
}

std::size_t JobRegistry::size() const {
  std::lock_guard lock(mutex_);
  return jobs_.size();
}

}  // namespace zunel
