#include "service/system_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace zunel {
namespace {

TEST(PosixErrorClassification, ErrnoValuesMapLikeTheirWindowsCounterparts) {
  struct Case {
    int code;
    FailureKind general;       // default Unexpected
    FailureKind startup;       // default StartupFolderFailed
    bool not_found;
  } cases[] = {
      {ENOENT, FailureKind::MissingFile, FailureKind::MissingFile, true},
      {EACCES, FailureKind::WriteBlocked, FailureKind::WriteBlocked, false},
      {EPERM, FailureKind::WriteBlocked, FailureKind::WriteBlocked, false},
      {ETXTBSY, FailureKind::AlreadyRunning, FailureKind::AlreadyRunning, false},
      {EBUSY, FailureKind::AlreadyRunning, FailureKind::AlreadyRunning, false},
      {ENOTDIR, FailureKind::Unexpected, FailureKind::StartupFolderFailed, true},
      {EEXIST, FailureKind::Unexpected, FailureKind::StartupFolderFailed, false},
      {ENOSPC, FailureKind::Unexpected, FailureKind::StartupFolderFailed, false},
      {EROFS, FailureKind::Unexpected, FailureKind::StartupFolderFailed, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    const SystemError e = system_error_from_code(c.code);
    ASSERT_TRUE(e.code.has_value());
    EXPECT_EQ(*e.code, c.code);
    EXPECT_EQ(e.not_found, c.not_found);
    // The errno itself is the code an Unexpected failure shows.
    EXPECT_EQ(classify_os_error(e, FailureKind::Unexpected).code, c.code);
    EXPECT_EQ(classify_os_error(e, FailureKind::Unexpected).kind, c.general);
    EXPECT_EQ(classify_os_error(e, FailureKind::StartupFolderFailed).kind, c.startup);
    EXPECT_NE(e.text.find(std::strerror(c.code)), std::string::npos) << e.text;
  }
}

}  // namespace
}  // namespace zunel
