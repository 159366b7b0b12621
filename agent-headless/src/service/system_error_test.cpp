#include "service/system_error.h"

#include <gtest/gtest.h>

namespace zunel {
namespace {

// A code that no OS table recognises.
constexpr std::int32_t kUnknownCode = 987654;

TEST(ClassifyOsError, UnrecognisedOrMissingCodesFallBackToTheCallersDefault) {
  struct Case {
    std::optional<std::int32_t> code;
    FailureKind default_kind;
    FailureKind kind;
    std::int32_t shown_code;
  } cases[] = {
      {std::nullopt, FailureKind::Unexpected, FailureKind::Unexpected, -1},
      {std::nullopt, FailureKind::StartupFolderFailed, FailureKind::StartupFolderFailed, -1},
      {kUnknownCode, FailureKind::Unexpected, FailureKind::Unexpected, kUnknownCode},
      {kUnknownCode, FailureKind::StartupFolderFailed, FailureKind::StartupFolderFailed,
       kUnknownCode},
      {-7, FailureKind::Unexpected, FailureKind::Unexpected, -7},
  };
  for (const auto& c : cases) {
    SystemError e{"texto", c.code, false};
    const auto got = classify_os_error(e, c.default_kind);
    EXPECT_EQ(got.kind, c.kind);
    EXPECT_EQ(got.code, c.shown_code);
  }
}

}  // namespace
}  // namespace zunel
