#include "base/os_error.h"

#include <gtest/gtest.h>

namespace zunel {
namespace {

// Codes every platform has a text for: 2 is ENOENT and ERROR_FILE_NOT_FOUND,
// 5 is EIO and ERROR_ACCESS_DENIED, 13 is EACCES and ERROR_INVALID_DATA.
TEST(OsError, SystemTextIsOneTrimmedLineFollowedByTheCode) {
  for (const int code : {2, 5, 13}) {
    SCOPED_TRACE(code);
    const std::string message = os_error_message(code);
    ASSERT_FALSE(message.empty());
    EXPECT_EQ(message.find_first_of("\r\n"), std::string::npos) << message;
    EXPECT_NE(message.front(), ' ');
    EXPECT_NE(message.back(), ' ');
    EXPECT_EQ(message, system_message(code));
    EXPECT_EQ(os_error_text(code), message + " (os error " + std::to_string(code) + ")");
    EXPECT_EQ(os_error_text(code, "stand-in"), os_error_text(code));
  }
}

TEST(OsError, ACodeWithoutTextReadsAsTheCLibraryWouldShowIt) {
  // No system has a message for this code.
  EXPECT_EQ(os_error_message(123456789), "Unknown error 123456789");
  EXPECT_EQ(os_error_text(123456789).substr(0, 23), "Unknown error 123456789");
}

TEST(OsError, ResolverCodesTakeTheSameForm) {
  EXPECT_EQ(with_os_error_code("Name or service not known", -2), "Name or service not known (os error -2)");
}

}  // namespace
}  // namespace zunel
