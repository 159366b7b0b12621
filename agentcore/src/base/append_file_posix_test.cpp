#include "base/append_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "temp_dir.h"

namespace zunel {
namespace {

TEST(AppendFiles, OpenAndReadOnlyRegularFilesOfTheirOwnNeverWhatALinkOrAFifoNames) {
  testing::TempDir dir;
  const auto outside = dir.path() / "outside";
  std::ofstream(outside) << "secret\n";
  const auto link = dir.path() / "link";
  ASSERT_EQ(::symlink(outside.c_str(), link.c_str()), 0);
  const auto fifo = dir.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);  // opening it for reading would block
  const auto directory = dir.path() / "directory";
  std::filesystem::create_directory(directory);

  AppendFiles& files = system_append_files();
  for (const auto& refused : {link, fifo, directory}) {
    EXPECT_FALSE(files.open(refused).ok()) << refused;
    EXPECT_FALSE(files.read_tail(refused, 100).ok()) << refused;
  }
  std::ifstream in(outside);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "secret\n") << "nothing went through the link";

  const auto mine = dir.path() / "mine";
  EXPECT_EQ(files.read_tail(mine, 100)->size, 0u) << "a missing file reads as empty";
  auto file = files.open(mine);
  ASSERT_TRUE(file.ok()) << file.error();
  ASSERT_TRUE((*file)->append("0123456789\n").ok());
  ASSERT_TRUE((*file)->sync().ok());
  struct stat st {};
  ASSERT_EQ(::stat(mine.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const auto tail = files.read_tail(mine, 4);
  EXPECT_EQ(tail->text, "789\n");
  EXPECT_EQ(tail->size, 11u);
}

}  // namespace
}  // namespace zunel
