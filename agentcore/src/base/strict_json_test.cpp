#include "base/strict_json.h"

#include <gtest/gtest.h>

#include <string>

namespace zunel {
namespace {

TEST(StrictJson, ReadsValuesAndTellsIntegersFromFractions) {
  auto v = parse_strict_json(R"({"a":[1,-2,1.5,"x\u00e9"],"b":{"c":null,"d":true}})");
  ASSERT_TRUE(v.ok()) << v.error();
  const auto& a = v->at("a").as_array();
  EXPECT_TRUE(a[0].is_int64());
  EXPECT_EQ(a[1].as_int64(), -2);
  EXPECT_TRUE(a[2].is_double());
  EXPECT_EQ(a[3].as_string(), "x\xc3\xa9");
  EXPECT_TRUE(v->at("b").at("c").is_null());
}

TEST(StrictJson, RefusesDuplicatesAtAnyDepthButAllowsSameKeyInSiblings) {
  EXPECT_FALSE(parse_strict_json(R"({"a":1,"a":2})").ok());
  EXPECT_FALSE(parse_strict_json(R"({"x":{"a":1,"b":2,"a":3}})").ok());
  EXPECT_FALSE(parse_strict_json(R"([{"k":1},{"k":1,"k":1}])").ok());
  // An escaped spelling of the same key is the same key.
  EXPECT_FALSE(parse_strict_json(R"({"a":1,"\u0061":2})").ok());
  EXPECT_TRUE(parse_strict_json(R"([{"k":1},{"k":2}])").ok());
  EXPECT_TRUE(parse_strict_json(R"({"a":{"a":{"a":1}}})").ok());
}

TEST(StrictJson, RefusesMalformedText) {
  for (const char* bad : {"", "{", "[1,]", "{\"a\":1,}", "[1] x", "[1][2]", "nul", "'a'",
                          "[01]", "\"\\x\"", "/*c*/1", "\"\xff\"", "\"\xc3\""}) {
    EXPECT_FALSE(parse_strict_json(bad).ok()) << bad;
  }
  EXPECT_TRUE(parse_strict_json(" [1] \n").ok());
}

TEST(StrictJson, EnforcesTheNestingLimit) {
  const auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_TRUE(parse_strict_json(nested(128)).ok());
  EXPECT_FALSE(parse_strict_json(nested(129)).ok());
}

}  // namespace
}  // namespace zunel
