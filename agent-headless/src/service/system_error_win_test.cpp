#include "service/system_error.h"

#include <gtest/gtest.h>

namespace zunel {
namespace {

TEST(WindowsErrorClassification, RecognisedCodesAndDefaults) {
  struct Case {
    int code;
    FailureKind general;  // default Unexpected
    FailureKind startup;  // default StartupFolderFailed
    bool not_found;
  } cases[] = {
      {2, FailureKind::MissingFile, FailureKind::MissingFile, true},
      {5, FailureKind::WriteBlocked, FailureKind::WriteBlocked, false},
      {32, FailureKind::AlreadyRunning, FailureKind::AlreadyRunning, false},
      {225, FailureKind::Quarantined, FailureKind::Quarantined, false},
      {1260, FailureKind::BlockedByPolicy, FailureKind::BlockedByPolicy, false},
      {3, FailureKind::Unexpected, FailureKind::StartupFolderFailed, true},
      {183, FailureKind::Unexpected, FailureKind::StartupFolderFailed, false},
      {112, FailureKind::Unexpected, FailureKind::StartupFolderFailed, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    const SystemError e = system_error_from_code(c.code);
    ASSERT_TRUE(e.code.has_value());
    EXPECT_EQ(e.not_found, c.not_found);
    EXPECT_EQ(classify_os_error(e, FailureKind::Unexpected).code, c.code);
    EXPECT_EQ(classify_os_error(e, FailureKind::Unexpected).kind, c.general);
    EXPECT_EQ(classify_os_error(e, FailureKind::StartupFolderFailed).kind, c.startup);
    EXPECT_EQ(e.text.find('\n'), std::string::npos) << e.text;
    EXPECT_FALSE(e.text.empty());
  }
}

}  // namespace
}  // namespace zunel
