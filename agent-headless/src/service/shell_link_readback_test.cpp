// Reads the writer's output back with an independent reader, lnkinfo from
// liblnk-utils, which the project's dependency script installs.
#include "service/shell_link.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "temp_dir.h"

namespace zunel {
namespace {

std::string run_lnkinfo(const std::filesystem::path& file) {
  const std::string command = "lnkinfo '" + file.string() + "' 2>&1";
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  const int status = pclose(pipe);
  EXPECT_EQ(status, 0) << out;
  return out;
}

TEST(ShellLinkReadback, LnkinfoReportsRelativePathWorkingDirectoryAndArguments) {
  auto bytes = build_shell_link({u"C:\\Program Files\\Zunel Agente\\zunel-print-agent.exe", 31337, u"run"});
  ASSERT_TRUE(bytes.ok()) << bytes.error();
  const testing::TempDir dir;
  const auto file = dir.path() / "ZunelPrintAgent.lnk";
  testing::write_file(file, std::string_view(reinterpret_cast<const char*>(bytes.value().data()),
                                             bytes.value().size()));
  const std::string info = run_lnkinfo(file);

  EXPECT_NE(info.find("Windows Shortcut information:"), std::string::npos) << info;
  EXPECT_NE(info.find("File size\t\t\t: 31337 bytes"), std::string::npos) << info;
  EXPECT_NE(info.find("Relative path\t\t\t: ./zunel-print-agent.exe"), std::string::npos) << info;
  EXPECT_NE(info.find("Working directory\t\t: C:\\Program Files\\Zunel Agente"), std::string::npos)
      << info;
  EXPECT_NE(info.find("Command line arguments\t\t: run"), std::string::npos) << info;
  // The target ID list: My Computer, the drive, two folders and the file.
  EXPECT_NE(info.find("Number of items\t\t: 5"), std::string::npos) << info;
  EXPECT_NE(info.find("Shell folder name\t: My Computer"), std::string::npos) << info;
  EXPECT_NE(info.find("Volume name\t\t: C:\\"), std::string::npos) << info;
  EXPECT_NE(info.find("Long name\t\t: Program Files"), std::string::npos) << info;
  EXPECT_NE(info.find("Long name\t\t: Zunel Agente"), std::string::npos) << info;
  EXPECT_NE(info.find("Long name\t\t: zunel-print-agent.exe"), std::string::npos) << info;
  EXPECT_EQ(info.find("Unable"), std::string::npos) << info;
  EXPECT_EQ(info.find("rror"), std::string::npos) << info;
}

}  // namespace
}  // namespace zunel
