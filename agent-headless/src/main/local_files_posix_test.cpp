#include "base/private_files.h"
#include "main/local_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "main/data_dir.h"
#include "temp_dir.h"

namespace zunel {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

// Sets (or, with nullopt, removes) an environment variable for the lifetime
// of the object, then restores the old value. Tests run on one thread.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    set(value);
  }
  ~ScopedEnv() { set(old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void set(const std::optional<std::string>& value) {
    if (value) {
      setenv(name_.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  std::string name_;
  std::optional<std::string> old_;
};

mode_t mode_of(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

TEST(DataDirPosix, UsesXdgDataHomeThenHomeThenPrivateTemp) {
  TempDir tmp;
  const std::string uid = std::to_string(getuid());
  struct Case {
    std::optional<std::string> xdg, home, tmpdir;
    fs::path expected;
  } cases[] = {
      {"/x/data", "/home/u", std::nullopt, "/x/data/Zunel/PrintAgent/data"},
      {std::nullopt, "/home/u", std::nullopt, "/home/u/.local/share/Zunel/PrintAgent/data"},
      {"relative", "/home/u", std::nullopt, "/home/u/.local/share/Zunel/PrintAgent/data"},
      {"", "", std::nullopt, "/tmp/zunel-print-agent-" + uid},
      {std::nullopt, std::nullopt, std::nullopt, "/tmp/zunel-print-agent-" + uid},
      {std::nullopt, "rel/home", "/var/tmp", "/var/tmp/zunel-print-agent-" + uid},
  };
  for (const auto& c : cases) {
    ScopedEnv xdg("XDG_DATA_HOME", c.xdg), home("HOME", c.home), tmpdir("TMPDIR", c.tmpdir);
    EXPECT_EQ(resolve_data_dir(), c.expected);
  }
}

TEST(DataDirPosix, StateFilesLieUnderTheFallbackWhenThereIsNoHome) {
  TempDir tmp;
  ScopedEnv xdg("XDG_DATA_HOME", std::nullopt), home("HOME", std::nullopt),
      tmpdir("TMPDIR", tmp.path().string());
  const fs::path data = resolve_data_dir();
  EXPECT_EQ(data.parent_path(), tmp.path());
  ASSERT_TRUE(create_private_dirs(state_dir_of(data)).ok());
  EXPECT_EQ(state_dir_of(data), data / "agent");
  EXPECT_EQ(mode_of(data), 0700u);
}

TEST(DataDirPosix, NewDirectoriesAre0700AndTheTokenIs0600) {
  TempDir tmp;
  const fs::path state = tmp.path() / "a" / "b" / "agent";
  ASSERT_TRUE(create_private_dirs(state).ok());
  EXPECT_EQ(mode_of(tmp.path() / "a"), 0700u);
  EXPECT_EQ(mode_of(tmp.path() / "a" / "b"), 0700u);
  EXPECT_EQ(mode_of(state), 0700u);
  ASSERT_TRUE(create_private_dirs(state).ok()) << "an existing directory is not an error";

  const fs::path data = tmp.path() / "a" / "b";
  ASSERT_EQ(::chmod((data / "control.token").c_str(), 0644), -1);  // not there yet
  ASSERT_TRUE(write_private_file(data / "control.token", "old").ok());
  ::chmod((data / "control.token").c_str(), 0644);
  ASSERT_TRUE(prepare_control_token(data, system_random()).ok());
  EXPECT_EQ(mode_of(data / "control.token"), 0600u) << "a widened token file is narrowed again";
}

TEST(DataDirPosix, RefusesAFileOrAForeignDirectoryInPlaceOfTheDataDirectory) {
  TempDir tmp;
  ASSERT_TRUE(write_private_file(tmp.path() / "plain", "x").ok());
  EXPECT_FALSE(create_private_dirs(tmp.path() / "plain").ok());
  EXPECT_FALSE(create_private_dirs(tmp.path() / "plain" / "agent").ok());

  fs::create_directory_symlink(tmp.path(), tmp.path() / "link");
  EXPECT_FALSE(create_private_dirs(tmp.path() / "link").ok()) << "a symbolic link is not followed";

  if (getuid() == 0) {
    // Root can hand a directory to another user, as on a shared /tmp.
    const fs::path foreign = tmp.path() / "foreign";
    fs::create_directory(foreign);
    ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
    auto made = create_private_dirs(foreign);
    ASSERT_FALSE(made.ok());
    EXPECT_EQ(made.error(), "Operation not permitted (os error 1)");
  }
}

TEST(DataDirPosix, WideOpenDirectoryIsNarrowed) {
  TempDir tmp;
  const fs::path dir = tmp.path() / "data";
  fs::create_directory(dir);
  ::chmod(dir.c_str(), 0777);
  ASSERT_TRUE(create_private_dirs(dir).ok());
  EXPECT_EQ(mode_of(dir), 0700u);
}

}  // namespace
}  // namespace zunel
