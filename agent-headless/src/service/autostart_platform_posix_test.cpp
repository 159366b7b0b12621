// The real POSIX pieces against a temporary folder and a throw-away script.
#include "service/autostart_platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "service/xdg_autostart.h"
#include "temp_dir.h"

namespace zunel {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

TEST(PosixFileSystem, CreatesPrivateFoldersAndRefusesAFileInTheWay) {
  TempDir tmp;
  FileSystem& files = system_file_system();
  const fs::path deep = tmp.path() / "a" / "b" / "autostart";
  ASSERT_TRUE(files.create_directories(deep).ok());
  ASSERT_TRUE(files.create_directories(deep).ok());  // already there
  struct stat st {};
  ASSERT_EQ(::stat((tmp.path() / "a").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  write_file(tmp.path() / "file", "x");
  const auto blocked = files.create_directories(tmp.path() / "file" / "autostart");
  ASSERT_FALSE(blocked.ok());
  EXPECT_EQ(blocked.error().code, ENOTDIR);
}

TEST(PosixFileSystem, MetadataWithAndWithoutFollowingLinks) {
  TempDir tmp;
  FileSystem& files = system_file_system();
  fs::create_directory(tmp.path() / "dir");
  write_file(tmp.path() / "file", "12345");
  fs::create_directory_symlink(tmp.path() / "dir", tmp.path() / "link");

  struct Case {
    const char* name;
    bool follow;
    EntryType type;
  } cases[] = {
      {"dir", false, EntryType::Directory}, {"file", false, EntryType::File},
      {"link", false, EntryType::Link},     {"link", true, EntryType::Directory},
  };
  for (const auto& c : cases) {
    const auto info = files.metadata(tmp.path() / c.name, c.follow);
    ASSERT_TRUE(info.ok()) << c.name;
    EXPECT_EQ(info.value().type, c.type) << c.name << " " << c.follow;
  }
  EXPECT_EQ(files.metadata(tmp.path() / "file", true).value().size, 5u);
  const auto missing = files.metadata(tmp.path() / "missing", false);
  ASSERT_FALSE(missing.ok());
  EXPECT_TRUE(missing.error().not_found);
  EXPECT_TRUE(files.metadata(tmp.path() / "file" / "below", false).error().not_found);
}

TEST(PosixFileSystem, RemovalNeverFollowsLinks) {
  TempDir tmp;
  FileSystem& files = system_file_system();
  const fs::path outside = tmp.path() / "outside";
  fs::create_directories(outside);
  write_file(outside / "keep", "k");
  const fs::path tree = tmp.path() / "tree";
  fs::create_directories(tree / "sub");
  write_file(tree / "sub" / "f", "f");
  fs::create_directory_symlink(outside, tree / "sub" / "to-outside");
  fs::create_directory_symlink(outside, tmp.path() / "link");

  ASSERT_TRUE(files.remove_entry(tmp.path() / "link").ok());
  EXPECT_FALSE(fs::exists(fs::symlink_status(tmp.path() / "link")));
  ASSERT_TRUE(files.remove_tree(tree).ok());
  EXPECT_FALSE(fs::exists(tree));
  EXPECT_EQ(read_file(outside / "keep"), "k");

  const auto gone = files.remove_entry(tmp.path() / "link");
  ASSERT_FALSE(gone.ok());
  EXPECT_TRUE(gone.error().not_found);
}

TEST(PosixFileSystem, AbsoluteResolvesDotsAndLinks) {
  TempDir tmp;
  FileSystem& files = system_file_system();
  fs::create_directories(tmp.path() / "real");
  fs::create_directory_symlink(tmp.path() / "real", tmp.path() / "alias");
  const auto real = files.absolute(tmp.path() / "real");
  ASSERT_TRUE(real.ok());
  EXPECT_EQ(files.absolute(tmp.path() / "real" / ".." / "real" / ".").value(), real.value());
  EXPECT_EQ(files.absolute(tmp.path() / "alias").value(), real.value());
  EXPECT_TRUE(files.absolute(tmp.path() / "missing").error().not_found);
}

TEST(XdgStartupEntryFile, WrittenWholeAndReplacedWithoutLeftovers) {
  TempDir tmp;
  const fs::path entry = tmp.path() / "ZunelPrintAgent.desktop";
  write_file(entry, "old contents that are longer than the new ones, much longer indeed......"
                    "..............................................................");
  ASSERT_TRUE(system_startup_entry().write_entry(entry, "/opt/zunel/zunel-print-agent", 1).ok());
  EXPECT_EQ(read_file(entry), desktop_entry_text("/opt/zunel/zunel-print-agent"));
  int files_in_dir = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(tmp.path())) ++files_in_dir;
  EXPECT_EQ(files_in_dir, 1);

  const auto missing_dir =
      system_startup_entry().write_entry(tmp.path() / "nope" / "x.desktop", "/opt/a", 1);
  ASSERT_FALSE(missing_dir.ok());
  EXPECT_EQ(missing_dir.error().code, ENOENT);
}

TEST(PosixProcesses, OwnExecutableIsThisTestProgram) {
  const auto exe = system_processes().own_executable();
  ASSERT_TRUE(exe.ok());
  EXPECT_TRUE(exe.value().is_absolute());
  EXPECT_EQ(exe.value().filename(), "agent_headless_tests");
}

// Reaps the started child once it has exited, so the test leaves no zombie.
void reap_children() {
  for (int i = 0; i < 100; ++i) {
    int status = 0;
    if (::waitpid(-1, &status, WNOHANG) > 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

TEST(PosixProcesses, AgentStartsDetachedWithNoConsoleAndNullStreams) {
  TempDir tmp;
  const fs::path report = tmp.path() / "report";
  const fs::path script = tmp.path() / "fake-agent";
  // Reports its argument, ZUNEL_NO_CONSOLE, whether it leads its own session
  // (session id == its pid) and where its three standard streams point.
  write_file(script,
             "#!/bin/sh\n"
             "sid=$(cut -d' ' -f6 /proc/$$/stat)\n"
             "leader=no; [ \"$sid\" = \"$$\" ] && leader=yes\n"
             "echo \"$1|$ZUNEL_NO_CONSOLE|$leader|$(readlink /proc/$$/fd/0)|$(readlink "
             "/proc/$$/fd/1)|$(readlink /proc/$$/fd/2)\" > '" + report.string() + ".part'\n"
             "mv '" + report.string() + ".part' '" + report.string() + "'\n");
  fs::permissions(script, fs::perms::owner_all);

  ::setenv("ZUNEL_NO_CONSOLE", "0", 1);
  const auto started = system_processes().start_agent(script);
  ::unsetenv("ZUNEL_NO_CONSOLE");
  ASSERT_TRUE(started.ok()) << started.error().text;

  for (int i = 0; i < 250 && !fs::exists(report); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  reap_children();
  EXPECT_EQ(read_file(report), "run|1|yes|/dev/null|/dev/null|/dev/null\n");
}

TEST(PosixProcesses, StartFailuresCarryTheirErrno) {
  TempDir tmp;
  write_file(tmp.path() / "not-executable", "#!/bin/sh\n");
  struct Case {
    fs::path program;
    int code;
  } cases[] = {
      {tmp.path() / "missing", ENOENT},
      {tmp.path() / "not-executable", EACCES},
  };
  for (const auto& c : cases) {
    const auto started = system_processes().start_agent(c.program);
    ASSERT_FALSE(started.ok()) << c.program;
    EXPECT_EQ(started.error().code, c.code) << c.program;
  }
}

}  // namespace
}  // namespace zunel
