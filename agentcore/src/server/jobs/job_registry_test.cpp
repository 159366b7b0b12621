#include "server/jobs/job_registry.h"

#include <gtest/gtest.h>

#include "base/hex.h"
#include "base/journal.h"
#include "server/journal_events.h"

namespace zunel {
namespace {

const Sha256Digest A = sha256("a");
const Sha256Digest B = sha256("b");

TEST(JobRegistry, AJobIdBelongsToItsDeviceAndItsJob) {
  JobRegistry jobs;
  EXPECT_EQ(jobs.claim("dev1", "T-1", A, 100).claim, JobRegistry::Claim::New);
  EXPECT_EQ(jobs.claim("dev2", "T-1", B, 100).claim, JobRegistry::Claim::New);
  const auto again = jobs.claim("dev1", "T-1", A, 101);
  EXPECT_EQ(again.claim, JobRegistry::Claim::Same);
  EXPECT_EQ(again.known.state, JobState::Waiting);
  EXPECT_EQ(jobs.claim("dev1", "T-1", B, 101).claim, JobRegistry::Claim::Other);

  jobs.started("dev1", "T-1");
  EXPECT_EQ(jobs.find("dev1", "T-1")->state, JobState::Running);
  jobs.finished("dev1", "T-1", JobAnswer{200, "{\"ok\":true}"}, 105);
  const auto done = jobs.find("dev1", "T-1");
  EXPECT_EQ(done->state, JobState::Done);
  EXPECT_EQ(done->accepted, 100u);
  EXPECT_EQ(done->ended, 105u);
  EXPECT_EQ(done->answer->body, "{\"ok\":true}");
  EXPECT_EQ(jobs.find("dev2", "T-1")->state, JobState::Waiting);

  // A job that never reached its printer may be sent again.
  jobs.forget("dev2", "T-1");
  EXPECT_FALSE(jobs.find("dev2", "T-1"));
  EXPECT_EQ(jobs.claim("dev2", "T-1", A, 110).claim, JobRegistry::Claim::New);
}

TEST(JobRegistry, KeepsTheLastJobsAndTheRecentOnesWithinItsBound) {
  JobRegistry jobs(JobRegistryLimits{.keep_jobs = 2, .keep_secs = 100, .max_jobs = 4});
  const auto printed = [&jobs](const std::string& id, std::uint64_t now) {
    const auto claim = jobs.claim("d", id, A, now).claim;
    jobs.finished("d", id, JobAnswer{200, "{}"}, now);
    return claim;
  };
  // Young jobs are kept past keep_jobs, up to the bound.
  for (int n = 0; n < 4; ++n) (void)printed("j" + std::to_string(n), 1000);
  EXPECT_EQ(jobs.size(), 4u);
  (void)printed("j4", 1000);
  EXPECT_EQ(jobs.size(), 4u);
  EXPECT_FALSE(jobs.find("d", "j0"));
  // Old ones go down to keep_jobs.
  (void)printed("j5", 1100);
  EXPECT_EQ(jobs.size(), 2u);
  EXPECT_TRUE(jobs.find("d", "j4"));
  EXPECT_TRUE(jobs.find("d", "j5"));

  // A job that waits or runs is never forgotten to make room, however old.
  (void)jobs.claim("d", "waits", A, 1100);
  (void)jobs.claim("d", "runs", A, 1100);
  jobs.started("d", "runs");
  EXPECT_EQ(printed("j6", 1100), JobRegistry::Claim::New);
  EXPECT_EQ(jobs.claim("d", "j7", A, 5000).claim, JobRegistry::Claim::New);
  EXPECT_EQ(jobs.claim("d", "j8", A, 5000).claim, JobRegistry::Claim::New);
  EXPECT_EQ(jobs.claim("d", "j9", A, 5000).claim, JobRegistry::Claim::Full) << "only waiting and running jobs left";
  EXPECT_TRUE(jobs.find("d", "waits"));
  EXPECT_TRUE(jobs.find("d", "runs"));
}

std::string print_line(const char* event, const char* job_id, const char* started, const char* extra = "") {
  return std::string("{\"t\":\"2026-12-08T10:00:00Z\",\"event\":\"") + event + "\",\"job_id\":\"" + job_id +
         "\",\"device\":\"d\",\"target\":{\"kind\":\"winspool\",\"printer\":\"P\"},\"sha256\":\"" +
         to_hex(sha256("bytes")) + "\",\"accepted\":\"2026-12-08T10:00:00Z\",\"started\":" + started + extra + "}";
}

TEST(JobRegistry, IsRebuiltFromTheJournal) {
  const std::string ended = R"(,"ended":"2026-12-08T10:00:02Z","status":200,"answer":{"ok":true})";
  JobRegistry jobs;
  restore_jobs(jobs, {
                         print_line("print_start", "done", "\"2026-12-08T10:00:01Z\""),
                         print_line("print", "done", "\"2026-12-08T10:00:01Z\"", ended.c_str()),
                         print_line("print_start", "cut", "\"2026-12-08T10:00:01Z\""),
                         print_line("print", "never", "null", ended.c_str()),
                         "{\"torn\":",
                     });
  const Sha256Digest fingerprint = job_fingerprint(R"({"kind":"winspool","printer":"P"})", sha256("bytes"));
  const auto done = jobs.find("d", "done");
  ASSERT_TRUE(done);
  EXPECT_EQ(done->state, JobState::Done);
  EXPECT_EQ(done->fingerprint, fingerprint);
  EXPECT_EQ(done->answer->status, 200u);
  EXPECT_EQ(done->answer->body, R"({"ok":true})");
  const auto cut = jobs.find("d", "cut");
  ASSERT_TRUE(cut);
  EXPECT_EQ(cut->state, JobState::Interrupted);
  EXPECT_FALSE(jobs.find("d", "never"));
  EXPECT_EQ(jobs.claim("d", "cut", fingerprint, 0).claim, JobRegistry::Claim::Same);
}

}  // namespace
}  // namespace zunel
