#include "main/data_dir.h"

#include <gtest/gtest.h>

#include <regex>

#include "base/private_files.h"
#include "main/local_files.h"
#include "scripted_random.h"
#include "temp_dir.h"

namespace zunel {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::write_file;

TEST(ControlToken, IsSixtyFourLowerHexDigitsWithoutLineFeed) {
  TempDir dir;
  ScriptedRandom random;
  random.queue({0x00, 0x01, 0xab, 0xff});  // the rest of the 32 bytes pad with zeros
  auto token = prepare_control_token(dir.path(), random);
  ASSERT_TRUE(token.ok()) << token.error();
  EXPECT_EQ(*token, "0001abff" + std::string(56, '0'));
  EXPECT_EQ(random.calls, std::vector<std::size_t>{32});
  EXPECT_EQ(read_whole_file(dir.path() / "control.token"), *token);
}

TEST(ControlToken, SecondStartReplacesTheFirstToken) {
  TempDir dir;
  auto first = prepare_control_token(dir.path(), system_random());
  auto second = prepare_control_token(dir.path(), system_random());
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_TRUE(std::regex_match(*second, std::regex("[0-9a-f]{64}")));
  EXPECT_NE(*first, *second);
  EXPECT_EQ(read_whole_file(dir.path() / "control.token"), *second);
  EXPECT_EQ(read_control_token(dir.path()).value(), *second);
}

TEST(ControlToken, RandomFailureWritesNothing) {
  TempDir dir;
  ScriptedRandom random;
  random.fail_next();
  auto token = prepare_control_token(dir.path(), random);
  ASSERT_FALSE(token.ok());
  EXPECT_EQ(token.error(), "CSPRNG del SO no disponible");
  EXPECT_FALSE(fs::exists(dir.path() / "control.token"));
}

TEST(ControlToken, WriteFailureIsReported) {
  TempDir dir;
  ScriptedRandom random;
  auto token = prepare_control_token(dir.path() / "missing-subdir", random);
  ASSERT_FALSE(token.ok());
  EXPECT_FALSE(token.error().empty());
}

TEST(ControlToken, ReadTrimsWhiteSpaceAtBothEnds) {
  const std::string t(64, 'a');
  struct Case {
    std::string content;
    std::string expected;
  } cases[] = {
      {t, t},
      {t + "\n", t},
      {t + "\r\n", t},
      {"  " + t + " \t", t},
      {"\xc2\xa0" + t + "\xe2\x80\x83", t},  // no-break space and em space
      {"", ""},                              // returned as is: the agent refuses it
      {" \n", ""},
  };
  TempDir dir;
  for (const auto& c : cases) {
    write_file(dir.path() / "control.token", c.content);
    auto read = read_control_token(dir.path());
    ASSERT_TRUE(read.ok()) << c.content;
    EXPECT_EQ(*read, c.expected) << c.content;
  }
}

TEST(ControlToken, MissingOrNonUtf8FileGivesTheNotRunningMessage) {
  const std::string message =
      "El agente no está corriendo (no hay token de control). Ejecuta 'zunel-print-agent run' "
      "primero.";
  TempDir dir;
  auto missing = read_control_token(dir.path());
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), message);

  write_file(dir.path() / "control.token", std::string(63, 'a') + "\xff");
  auto garbled = read_control_token(dir.path());
  ASSERT_FALSE(garbled.ok());
  EXPECT_EQ(garbled.error(), message);

  fs::create_directory(dir.path() / "as-dir");
  fs::create_directory(dir.path() / "as-dir" / "control.token");
  EXPECT_FALSE(read_control_token(dir.path() / "as-dir").ok());
}

}  // namespace
}  // namespace zunel
