#include "server/jobs/job_ledger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <sstream>
#include <thread>

#include "server/jobs/job_store.h"

namespace zunel {
namespace {

using namespace std::chrono_literals;

// Files in memory that say what was asked of them, and fail when told to.
struct RecordingFiles final : AppendFiles {
  struct File final : AppendFile {
    File(RecordingFiles& files, std::string name) : files(files), name(std::move(name)) {}
    Status append(std::string_view bytes) override {
      std::lock_guard lock(files.mutex);
      if (files.disk_full) return fail("No space left on device (os error 28)");
      files.text[name] += bytes;
      return {};
    }
    Status sync() override {
      ++files.syncs_begun;
      std::this_thread::sleep_for(files.sync_takes);
      std::lock_guard lock(files.mutex);
      ++files.syncs;
      if (files.sync_fails) return fail("Input/output error (os error 5)");
      files.synced[name] = files.text[name];
      return {};
    }
    std::uint64_t size() const override {
      std::lock_guard lock(files.mutex);
      return files.text[name].size();
    }
    RecordingFiles& files;
    std::string name;
  };

  Outcome<std::unique_ptr<AppendFile>> open(const std::filesystem::path& path) override {
    return std::unique_ptr<AppendFile>(std::make_unique<File>(*this, path.filename().string()));
  }
  Status replace(const std::filesystem::path& path, std::string_view content) override {
    std::lock_guard lock(mutex);
    ++replaces;
    if (disk_full) return fail("No space left on device (os error 28)");
    text[path.filename().string()] = synced[path.filename().string()] = std::string(content);
    return {};
  }
  Outcome<Tail> read_tail(const std::filesystem::path& path, std::size_t max_bytes) override {
    std::lock_guard lock(mutex);
    if (unreadable) return fail("Is a directory (os error 21)");
    const std::string& whole = synced[path.filename().string()];  // what a power cut leaves
    return Tail{whole.substr(whole.size() > max_bytes ? whole.size() - max_bytes : 0), whole.size()};
  }

  void clear() {
    heal();
    text.clear();
    synced.clear();
    syncs = replaces = syncs_begun = 0;
    unreadable = false;
  }
  // The disk works again; what had reached the system reaches the disk.
  void heal() {
    disk_full = sync_fails = false;
    sync_takes = std::chrono::milliseconds(0);
    synced = text;
  }

  mutable std::mutex mutex;
  mutable std::map<std::string, std::string> text;  // as the system has it
  std::map<std::string, std::string> synced;         // as the disk has it
  bool disk_full = false;
  bool sync_fails = false;
  bool unreadable = false;
  std::chrono::milliseconds sync_takes{0};
  int syncs = 0;
  std::atomic<int> syncs_begun{0};
  int replaces = 0;
};

const Sha256Digest FP = sha256("job");

class Ledger : public ::testing::Test {
 protected:
  std::unique_ptr<JobLedger> open(JobLedgerLimits limits = {}) {
    return std::make_unique<JobLedger>("/data", files, diagnostics, nullptr, limits);
  }
  // Claims and starts a job: whether it may be sent.
  static bool begin(JobLedger& jobs, const std::string& id) {
    EXPECT_EQ(jobs.claim("d", id, FP, 100).claim, JobRegistry::Claim::New);
    return jobs.start("d", id).ok();
  }
  RecordingFiles files;
  std::ostringstream diagnostics;
};

TEST_F(Ledger, AStartedJobIsOnDiskBeforeItIsSentAndKnownAfterAPowerCut) {
  auto jobs = open();
  ASSERT_TRUE(begin(*jobs, "done"));
  jobs->finish("d", "done", JobAnswer{200, R"({"ok":true})"}, 105);
  ASSERT_TRUE(begin(*jobs, "cut"));
  jobs.reset();  // the power goes: only what was synced is left

  auto again = open();
  EXPECT_EQ(again->find("d", "cut")->state, JobState::Interrupted) << files.synced["jobs.jsonl"];
  EXPECT_EQ(again->find("d", "done")->state, JobState::Done) << "its end line went with the next start's sync";
  EXPECT_EQ(again->claim("d", "cut", FP, 200).claim, JobRegistry::Claim::Same);
  const auto cuts = again->take_untold_cuts();
  ASSERT_EQ(cuts.size(), 1u);
  EXPECT_EQ(cuts[0].job_id, "cut");
  EXPECT_TRUE(again->take_untold_cuts().empty());
  ASSERT_TRUE(begin(*again, "running"));
  const auto running = again->cut_running();
  ASSERT_EQ(running.size(), 1u);
  EXPECT_EQ(running[0].job_id, "running");
  again.reset();
  EXPECT_TRUE(open()->take_untold_cuts().empty()) << "each cut is told once";
  EXPECT_EQ(files.synced["jobs.jsonl"].substr(0, JOB_STORE_HEADER.size()), JOB_STORE_HEADER);
}

TEST_F(Ledger, AJobWhoseStartCannotBeStoredIsRefusedAndMaySafelyBeSentAgain) {
  const struct {
    const char* what;
    void (*breaks)(RecordingFiles&);
  } cases[] = {
      {"the disk is full", [](RecordingFiles& f) { f.disk_full = true; }},
      {"the sync fails", [](RecordingFiles& f) { f.sync_fails = true; }},
      {"the sync takes too long", [](RecordingFiles& f) { f.sync_takes = 300ms; }},
  };
  for (const auto& c : cases) {
    files.clear();
    auto jobs = open(JobLedgerLimits{.registry = {}, .sync_wait = 100ms});
    ASSERT_TRUE(begin(*jobs, "first")) << c.what;
    c.breaks(files);
    // Another job's sync is under way (when it gets that far): this one
    // waits for the next.
    const int begun = files.syncs_begun;
    auto other = std::async(std::launch::async, [&] { return begin(*jobs, "other"); });
    if (!files.disk_full) while (files.syncs_begun == begun) std::this_thread::yield();
    EXPECT_FALSE(begin(*jobs, "refused")) << c.what;
    other.get();
    EXPECT_FALSE(jobs->find("d", "refused")) << c.what << ": the id is free again";
    jobs.reset();
    files.heal();
    auto again = open();
    EXPECT_FALSE(again->find("d", "refused")) << c.what << ": not known as started after a restart";
    EXPECT_TRUE(again->find("d", "first")) << c.what;
  }
}

TEST_F(Ledger, StartsThatArriveTogetherShareASync) {
  files.sync_takes = 50ms;
  auto jobs = open();
  std::vector<std::future<bool>> starts;
  for (int n = 0; n < 8; ++n) {
    starts.push_back(std::async(std::launch::async, [&, n] { return begin(*jobs, "j" + std::to_string(n)); }));
  }
  for (auto& s : starts) EXPECT_TRUE(s.get());
  EXPECT_LT(files.syncs, 8) << "each start synced alone";
}

TEST_F(Ledger, AStoreThatCannotBeReadRefusesEveryJobWithAnIdAndIsLeftAlone) {
  files.unreadable = true;
  auto jobs = open();
  EXPECT_FALSE(begin(*jobs, "x"));
  EXPECT_EQ(files.replaces, 0) << "what it may hold is not overwritten";
  EXPECT_NE(diagnostics.str().find("[trabajos] no se pudo leer jobs.jsonl: Is a directory"), std::string::npos)
      << diagnostics.str();
}

TEST_F(Ledger, TheStoreIsRewrittenFromWhatIsRememberedSoItStaysBounded) {
  auto jobs = open(JobLedgerLimits{.registry = {.keep_jobs = 4, .keep_secs = 0, .max_jobs = 8},
                                   .sync_wait = 2000ms,
                                   .rewrite_bytes = 4096});
  for (int n = 0; n < 200; ++n) {
    ASSERT_TRUE(begin(*jobs, "j" + std::to_string(n)));
    jobs->finish("d", "j" + std::to_string(n), JobAnswer{200, R"({"ok":true})"}, 105);
  }
  EXPECT_LT(files.text["jobs.jsonl"].size(), 3 * 4096u);
  jobs.reset();
  files.heal();  // a stop, not a power cut
  auto again = open();
  EXPECT_EQ(again->find("d", "j199")->state, JobState::Done);
  EXPECT_FALSE(again->find("d", "j0"));
}

}  // namespace
}  // namespace zunel
