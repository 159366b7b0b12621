#include "security/keyset.h"

#include <sodium.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/build_config.h"
#include "security_test_support.h"

namespace zunel {
namespace {

using ::testing::ElementsAre;

TEST(Keyset, KeepsUsableEntriesInOrderAndSkipsTheRest) {
  const std::string key32 = testing::base64(std::vector<unsigned char>(32, 9).data(), 32, sodium_base64_VARIANT_ORIGINAL);
  const std::string key31 = testing::base64(std::vector<unsigned char>(31, 9).data(), 31, sodium_base64_VARIANT_ORIGINAL);
  const std::string unpadded = key32.substr(0, key32.size() - 1);
  const std::string text = "[\r\n"
                           R"({"kid":"a","pubkey_b64":")" + key32 + R"("},)"
                           R"({"kid":"short","pubkey_b64":")" + key31 + R"("},)"
                           R"({"kid":"unpadded","pubkey_b64":")" + unpadded + R"("},)"
                           R"({"kid":"urlsafe","pubkey_b64":")" + std::string(43, '_') + R"(="},)"
                           R"({"kid":7,"pubkey_b64":")" + key32 + R"("},)"
                           R"({"pubkey_b64":")" + key32 + R"("},)"
                           R"({"kid":"nokey"},)"
                           R"({"kid":"numeric","pubkey_b64":32},)"
                           R"("text",)"
                           R"({"kid":"b","pubkey_b64":")" + key32 + R"(","extra":1})"
                           "\r\n]\r\n";
  std::vector<std::string> kids;
  for (const TrustedKey& k : parse_keyset(text)) {
    kids.push_back(k.kid);
    EXPECT_EQ(k.public_key, std::vector<std::uint8_t>(32, 9));
  }
  EXPECT_THAT(kids, ElementsAre("a", "b"));
}

TEST(Keyset, AnUnusableTextGivesNoKeys) {
  for (const char* text : {"", "{", R"({"kid":"a"})", "[] []", R"([{"kid":"a","kid":"b","pubkey_b64":""}])"}) {
    EXPECT_TRUE(parse_keyset(text).empty()) << text;
  }
}

TEST(Keyset, TheBuiltInKeysetHasItsOneKey) {
  const auto keys = parse_keyset(builtin_keyset_json());
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].kid.size(), 8u);
}

}  // namespace
}  // namespace zunel
