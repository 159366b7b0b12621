#include "server/jobs/job_store.h"

#include <gtest/gtest.h>

#include "base/hex.h"

namespace zunel {
namespace {

const Sha256Digest FP = sha256("job");
const std::string HEADER = std::string(JOB_STORE_HEADER) + "\n";

std::string start(const std::string& id, std::uint64_t accepted = 100) {
  return job_start_line("d", id, JobRecord{.fingerprint = FP, .state = JobState::Running, .accepted = accepted}) +
         "\n";
}
std::string end(const std::string& id, unsigned status = 200, const std::string& body = R"({"ok":true})") {
  return job_end_line("d", id, 105, JobAnswer{status, body}) + "\n";
}

TEST(JobStore, ReadsBackWhatItWritesAndRefusesEveryDamagedLine) {
  const std::string good = start("done") + end("done") + start("cut");
  const std::string fp = to_hex(FP);
  const struct {
    std::string lines;       // after the header and the good lines
    std::size_t unreadable;  // lines it holds that were refused
  } cases[] = {
      {"", 0},
      {"{\"torn\":", 0},  // the last line, cut by a crash
      {"{\"torn\":\n", 1},
      {"not json\n", 1},
      {R"({"e":"start","d":"d","id":"x","fp":")" + fp + R"(","a":-1})" "\n", 1},
      {R"({"e":"start","d":"d","id":"x","fp":")" + fp + R"(","a":18446744073709551615})" "\n", 1},
      {R"({"e":"start","d":"d","id":"x","fp":"00","a":1})" "\n", 1},
      {R"({"e":"start","d":"d","id":"a b","fp":")" + fp + R"(","a":1})" "\n", 1},
      {R"({"e":"start","d":"","id":"x","fp":")" + fp + R"(","a":1})" "\n", 1},
      {R"({"e":"end","d":"d","id":"cut","t":1,"s":1000,"b":null})" "\n", 1},
      {R"({"e":"end","d":"d","id":"cut","t":1,"s":99,"b":null})" "\n", 1},
      {R"({"e":"end","d":"d","id":"cut","t":1,"s":-200,"b":null})" "\n", 1},
      {R"({"e":"end","d":"d","id":"cut","t":1e3,"s":200,"b":null})" "\n", 1},
      {R"({"e":"end","d":"d","id":"cut","t":1,"s":200})" "\n", 1},
      {R"({"e":"end","d":"d","id":"cut","t":1,"s":200,"b":null,"s":500})" "\n", 1},
      {R"({"e":"later","d":"d","id":"cut"})" "\n", 1},
      {std::string(JOB_STORE_LINE_MAX_BYTES, ' ') + R"({"e":"drop","d":"d","id":"nobody"})" "\n", 1},
  };
  for (const auto& c : cases) {
    const JobStoreReading reading = read_job_store(HEADER + good + c.lines, true);
    EXPECT_EQ(reading.unreadable, c.unreadable) << c.lines;
    ASSERT_EQ(reading.jobs.size(), 2u) << c.lines;
    EXPECT_EQ(reading.jobs[0].job_id, "done");
    EXPECT_EQ(reading.jobs[0].record.state, JobState::Done);
    EXPECT_EQ(reading.jobs[0].record.answer->body, R"({"ok":true})");
    EXPECT_EQ(reading.jobs[0].record.fingerprint, FP);
    EXPECT_EQ(reading.jobs[1].job_id, "cut");
    EXPECT_EQ(reading.jobs[1].record.state, JobState::Interrupted) << c.lines;
  }
}

TEST(JobStore, ADroppedJobIsForgottenAndAnotherFormatIsNotRead) {
  const JobStoreReading dropped =
      read_job_store(HEADER + start("a") + start("b") + job_drop_line("d", "a") + "\n", true);
  ASSERT_EQ(dropped.jobs.size(), 1u);
  EXPECT_EQ(dropped.jobs[0].job_id, "b");

  // A cut job is told once: the rewritten store says it was.
  const JobStoreReading cut = read_job_store(HEADER + start("a") + start("b") + job_cut_line("d", "b") + "\n", true);
  ASSERT_EQ(cut.untold_cuts.size(), 1u);
  EXPECT_EQ(cut.untold_cuts[0].job_id, "a");
  EXPECT_TRUE(read_job_store(job_store_text(cut.jobs), true).untold_cuts.empty());

  const JobStoreReading later = read_job_store("{\"format\":\"zunel-print-agent jobs\",\"version\":2}\n" + start("a"), true);
  EXPECT_TRUE(later.unknown_format);
  EXPECT_TRUE(later.jobs.empty());

  // A tail read from inside the file: its first, cut line is not counted.
  const JobStoreReading tail = read_job_store("\"fp\":\"00\"}\n" + start("a"), false);
  EXPECT_EQ(tail.unreadable, 0u);
  EXPECT_EQ(tail.jobs.size(), 1u);
}

TEST(JobStore, ALongOrForeignAnswerIsKeptAsAnEmptyBody) {
  const std::string text = HEADER + start("long") + end("long", 502, "\"" + std::string(2000, 'x') + "\"") +
                           start("text") + end("text", 502, "no es json");
  const JobStoreReading reading = read_job_store(text, true);
  ASSERT_EQ(reading.jobs.size(), 2u);
  EXPECT_EQ(reading.jobs[0].record.answer->status, 502u);
  EXPECT_EQ(reading.jobs[0].record.answer->body, "{}");
  EXPECT_EQ(reading.jobs[1].record.answer->body, "{}");
  EXPECT_EQ(job_store_text({}), HEADER);
}

}  // namespace
}  // namespace zunel
