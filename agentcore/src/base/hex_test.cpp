#include "base/hex.h"

#include <gtest/gtest.h>

namespace zunel {
namespace {

TEST(Hex, WritesLowerCaseHighNibbleFirst) {
  const std::vector<std::uint8_t> bytes{0x00, 0x0f, 0xa5, 0xff};
  EXPECT_EQ(to_hex(bytes), "000fa5ff");
  EXPECT_EQ(to_hex({}), "");
}

TEST(Hex, ReadsEitherCaseAndRefusesMalformedText) {
  EXPECT_EQ(from_hex("00aBFf"), (std::vector<std::uint8_t>{0x00, 0xab, 0xff}));
  EXPECT_EQ(from_hex(""), std::vector<std::uint8_t>{});
  for (const char* bad : {"0", "abc", "0g", "g0", " 00", "00 ", "+1"}) {
    EXPECT_FALSE(from_hex(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace zunel
