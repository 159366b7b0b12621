// Store behaviour checked with POSIX means: file modes, and a saving process
// killed with SIGKILL.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "base/private_files.h"
#include "security/pairing_store.h"
#include "security/persisted.h"
#include "security_test_support.h"

namespace zunel {
namespace {

using testing::read_file;
using testing::StateFixture;

mode_t mode_of(const std::filesystem::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st.st_mode & 0777;
}

TEST(PairingStoreModes, TheFileIsForTheUserOnlyAndCreatedDirectoriesToo) {
  StateFixture f;
  const auto nested = f.dir.path() / "a" / "agent";
  auto loaded = load_state(nested, "1.0.1", StateServices{f.clock, f.random, f.diagnostics}, "[]");
  ASSERT_TRUE(loaded);
  EXPECT_EQ(mode_of(nested / "pairings.json"), 0600u);
  EXPECT_EQ(mode_of(nested), 0700u);
  EXPECT_EQ(mode_of(f.dir.path() / "a"), 0700u);
  // A file that was readable by others before is replaced by a private one.
  ::chmod((nested / "pairings.json").c_str(), 0644);
  {
    auto s = (*loaded)->lock();
    save_state(s);
  }
  EXPECT_EQ(mode_of(nested / "pairings.json"), 0600u);
}

// A process killed at any moment of a save leaves a complete pairings.json.
constexpr std::size_t DEVICES = 1000;  // large enough that a write takes many system calls

TEST(SaveCrash, AKilledSaverLeavesEitherTheOldOrTheNewCompleteFile) {
  StateFixture f;
  ASSERT_TRUE(f.load());
  std::string versions[2];
  {
    auto s = f.locked();
    for (std::size_t i = 0; i < DEVICES; ++i) {
      s->devices.push_back(Device{.id = "d" + std::to_string(i),
                                  .token = std::vector<std::uint8_t>(32, 0x5a),
                                  .origin = "https://o.example",
                                  .label = "v0",
                                  .created = i,
                                  .source = DeviceSource::Code,
                                  .negocio_id = std::nullopt,
                                  .user_sub = std::nullopt,
                                  .expira = std::nullopt});
    }
  }
  for (int v = 0; v < 2; ++v) {
    {
      auto s = f.locked();
      for (Device& d : s->devices) d.label = "v" + std::to_string(v);
      save_state(s);
    }  // written as the lock is released
    versions[v] = read_file(f.file());
  }
  std::mt19937 rng(12345);
  for (int round = 0; round < 25; ++round) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Saves without end, alternating between two versions of the store.
      for (unsigned n = 0;; ++n) (void)write_private_file(f.file(), versions[n % 2]);
    }
    // While the child saves, every read finds a complete store; then the
    // child is killed at a random moment.
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::microseconds(std::uniform_int_distribution<int>(2000, 40000)(rng));
    while (std::chrono::steady_clock::now() < until) {
      const auto seen = parse_persisted(read_file(f.file()));
      if (!seen || seen->devices.size() != DEVICES) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        FAIL() << "round " << round << ": a reader found an incomplete pairings.json";
      }
    }
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));

    const auto stored = parse_persisted(read_file(f.file()));
    ASSERT_TRUE(stored) << "round " << round << ": pairings.json is not a complete store";
    ASSERT_EQ(stored->devices.size(), DEVICES);
    for (const PersistedDevice& d : stored->devices) ASSERT_EQ(d.label, stored->devices.front().label);
  }
  // The next start clears what killed saves left behind and loads the store.
  ASSERT_TRUE(f.load());
  EXPECT_EQ(f.locked()->devices.size(), DEVICES);
  for (const auto& entry : std::filesystem::directory_iterator(f.dir.path())) {
    EXPECT_EQ(entry.path().filename(), "pairings.json");
  }
}

}  // namespace
}  // namespace zunel
