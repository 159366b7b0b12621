// The real Windows pieces against a temporary folder (run under Wine on Linux).
#include "service/autostart_platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "temp_dir.h"

namespace zunel {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempDir;

// Sets or (with an empty value) removes an environment variable for one test.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    _putenv_s(name, value.c_str());
  }
  ~ScopedVariable() { _putenv_s(name_, old_.c_str()); }

 private:
  const char* name_;
  std::string old_;
};

TEST(WinFileSystem, FoldersMetadataAbsoluteAndRemoval) {
  TempDir tmp;
  FileSystem& files = system_file_system();
  const fs::path deep = tmp.path() / "a" / "b" / "Startup";
  ASSERT_TRUE(files.create_directories(deep).ok());
  ASSERT_TRUE(files.create_directories(deep).ok());
  std::ofstream(deep / "f.txt") << "12345";

  const auto info = files.metadata(deep / "f.txt", true);
  ASSERT_TRUE(info.ok());
  EXPECT_EQ(info.value().type, EntryType::File);
  EXPECT_EQ(info.value().size, 5u);
  EXPECT_EQ(files.metadata(deep, false).value().type, EntryType::Directory);
  const auto missing = files.metadata(deep / "missing", false);
  ASSERT_FALSE(missing.ok());
  EXPECT_TRUE(missing.error().not_found);
  EXPECT_EQ(*missing.error().code, 2);

  const auto resolved = files.absolute(deep / ".." / "Startup");
  ASSERT_TRUE(resolved.ok());
  EXPECT_EQ(resolved.value().filename(), "Startup");

  ASSERT_TRUE(files.remove_tree(tmp.path() / "a").ok());
  EXPECT_FALSE(fs::exists(tmp.path() / "a"));
}

TEST(ShortcutStartupEntry, PathFromAppdataAndAWholeShellLink) {
  TempDir tmp;
  {
    ScopedVariable appdata("APPDATA", tmp.path().string());
    const auto entry = system_startup_entry().entry_path();
    ASSERT_TRUE(entry.ok());
    EXPECT_EQ(entry.value(), tmp.path() / "Microsoft" / "Windows" / "Start Menu" / "Programs" /
                                 "Startup" / "ZunelPrintAgent.lnk");
    ASSERT_TRUE(system_file_system().create_directories(entry.value().parent_path()).ok());
    const fs::path exe = "C:\\Zunel\\zunel-print-agent.exe";
    ASSERT_TRUE(system_startup_entry().write_entry(entry.value(), exe, 1).ok());
    // Replaced whole, with nothing left beside it.
    ASSERT_TRUE(system_startup_entry().write_entry(entry.value(), exe, 777).ok());
    int files_in_folder = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(entry.value().parent_path())) {
      ++files_in_folder;
    }
    EXPECT_EQ(files_in_folder, 1);
    const std::string bytes = read_file(entry.value());
    ASSERT_GT(bytes.size(), 76u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\x4C\0\0\0", 4));
    EXPECT_EQ(bytes.substr(bytes.size() - 8), std::string("\x03\0r\0u\0n\0", 8));
    EXPECT_EQ(static_cast<unsigned char>(bytes[0x34]) | (static_cast<unsigned char>(bytes[0x35]) << 8), 777);
  }
  ScopedVariable unset("APPDATA", "");
  const auto none = system_startup_entry().entry_path();
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error(), "no se pudo resolver %APPDATA%");
}

TEST(WinProcesses, OwnExecutableAndAStartFailure) {
  const auto exe = system_processes().own_executable();
  ASSERT_TRUE(exe.ok());
  EXPECT_EQ(exe.value().filename(), "agent_headless_tests.exe");

  TempDir tmp;
  const auto started = system_processes().start_agent(tmp.path() / "missing.exe");
  ASSERT_FALSE(started.ok());
  EXPECT_EQ(classify_os_error(started.error(), FailureKind::Unexpected).kind, FailureKind::MissingFile);
}

}  // namespace
}  // namespace zunel
