#include "base/private_files.h"

#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace zunel {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

std::size_t entries_in(const std::filesystem::path& dir) {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

TEST(PrivateFiles, WritesAndReplacesTheWholeContentLeavingNoTemporaryFile) {
  TempDir dir;
  const auto target = dir.path() / "pairings.json";
  ASSERT_TRUE(write_private_file(target, std::string(100000, 'x')));
  EXPECT_EQ(read_file(target), std::string(100000, 'x'));
  ASSERT_TRUE(write_private_file(target, "short"));
  EXPECT_EQ(read_file(target), "short");
  ASSERT_TRUE(write_private_file(target, ""));
  EXPECT_EQ(read_file(target), "");
  EXPECT_EQ(entries_in(dir.path()), 1u);
}

TEST(PrivateFiles, AFailedWriteLeavesWhatWasThereAndNoTemporaryFile) {
  TempDir dir;
  write_file(dir.path() / "pairings.json", "old");
  const struct {
    const char* what;
    std::function<std::filesystem::path(const std::filesystem::path&)> target;
  } rows[] = {
      // The rename over a non-empty directory fails.
      {"a directory in the way",
       [](const std::filesystem::path& d) {
         std::filesystem::create_directories(d / "blocked" / "inside");
         return d / "blocked";
       }},
      // Nothing can be created.
      {"a missing directory", [](const std::filesystem::path& d) { return d / "missing" / "pairings.json"; }},
      {"a file in place of the directory", [](const std::filesystem::path& d) { return d / "pairings.json" / "x"; }},
  };
  for (const auto& row : rows) {
    const auto target = row.target(dir.path());
    const std::size_t before = entries_in(dir.path());
    const Status written = write_private_file(target, "new");
    ASSERT_FALSE(written.ok()) << row.what;
    // The one form of every OS error: "<message> (os error N)".
    EXPECT_NE(written.error().find(" (os error "), std::string::npos) << row.what << ": " << written.error();
    EXPECT_EQ(written.error().back(), ')') << row.what << ": " << written.error();
    EXPECT_EQ(entries_in(dir.path()), before) << row.what;
    EXPECT_EQ(read_file(dir.path() / "pairings.json"), "old") << row.what;
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "blocked" / "inside"));
}

}  // namespace
}  // namespace zunel
