#include "security/atomic_file.h"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "security_test_support.h"

namespace zunel {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

std::size_t entries_in(const std::filesystem::path& dir) {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

TEST(AtomicFile, CreatesAndReplacesTheWholeContentLeavingNoTemporaryFile) {
  TempDir dir;
  const auto target = dir.path() / "pairings.json";
  ASSERT_TRUE(replace_file_atomically(target, std::string(100000, 'x')));
  EXPECT_EQ(read_file(target), std::string(100000, 'x'));
  ASSERT_TRUE(replace_file_atomically(target, "short"));
  EXPECT_EQ(read_file(target), "short");
  ASSERT_TRUE(replace_file_atomically(target, ""));
  EXPECT_EQ(read_file(target), "");
  EXPECT_EQ(entries_in(dir.path()), 1u);
}

TEST(AtomicFile, AFailureLeavesTheOldFileAndNoTemporaryFile) {
  TempDir dir;
  const auto target = dir.path() / "pairings.json";
  write_file(target, "old");
  // The target is a non-empty directory: the rename over it must fail.
  const auto blocked = dir.path() / "blocked";
  std::filesystem::create_directories(blocked / "inside");
  EXPECT_FALSE(replace_file_atomically(blocked, "new"));
  EXPECT_TRUE(std::filesystem::is_directory(blocked / "inside"));
  EXPECT_EQ(entries_in(dir.path()), 2u);
  // A directory that does not exist: nothing can be created.
  EXPECT_FALSE(replace_file_atomically(dir.path() / "missing" / "pairings.json", "new"));
  EXPECT_EQ(read_file(target), "old");
  EXPECT_EQ(entries_in(dir.path()), 2u);
}

}  // namespace
}  // namespace zunel
