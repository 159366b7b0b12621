// The files the agent reads back on any bytes: the job store (whole, and as
// a tail cut anywhere), the journal's lines as the agent rebuilds its job
// ids from them, and as `log` tells them. None may crash, hang or take a
// value out of range; what the store's reader accepts is written and read
// back to the same jobs.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "main/journal_log.h"
#include "server/jobs/job_store.h"
#include "server/journal_events.h"

namespace {

bool same(const zunel::JobRegistry::Known& a, const zunel::JobRegistry::Known& b) {
  return a.device == b.device && a.job_id == b.job_id && a.record.fingerprint == b.record.fingerprint &&
         a.record.state == b.record.state && a.record.accepted == b.record.accepted &&
         a.record.ended == b.record.ended &&
         (a.record.answer ? b.record.answer && a.record.answer->status == b.record.answer->status
                          : !b.record.answer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zunel;
  using zunel::fuzzing::require;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  for (const bool whole : {true, false}) {
    const JobStoreReading reading = read_job_store(text, whole);
    for (const auto& job : reading.jobs) {
      require(job.record.state == JobState::Done || job.record.state == JobState::Interrupted,
              "a stored job is neither done nor interrupted");
      if (job.record.answer) {
        require(job.record.answer->status >= 100 && job.record.answer->status <= 599, "a stored status out of range");
      }
    }
    const JobStoreReading again = read_job_store(job_store_text(reading.jobs), true);
    require(again.unreadable == 0 && again.jobs.size() == reading.jobs.size(), "a written store reads back otherwise");
    for (std::size_t i = 0; i < again.jobs.size(); ++i) {
      require(same(again.jobs[i], reading.jobs[i]), "a stored job changes through writing and reading");
    }
  }

  std::vector<std::string> lines;
  for (std::size_t at = 0; at <= text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    lines.emplace_back(text.substr(at, end - at));
    at = end + 1;
  }
  JobRegistry jobs;
  restore_jobs(jobs, lines);
  for (const auto& job : jobs.started_jobs()) {
    if (job.record.answer) {
      require(job.record.answer->status >= 100 && job.record.answer->status <= 599,
              "a journal's status out of range was taken");
    }
  }
  (void)render_journal(lines, [](std::uint64_t secs) { return std::to_string(secs); });
  return 0;
}
