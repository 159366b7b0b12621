#include "base/member_names.h"

#include <gtest/gtest.h>

namespace zunel {
namespace {

// The bucket of a name depends on the key, so names that collide under one
// key do not under another; and the process's own key is not the zero key.
TEST(MemberNames, TheHashDependsOnTheKey) {
  KeyedStringHash::Key one{};
  KeyedStringHash::Key two{};
  two[0] = 1;
  EXPECT_EQ(KeyedStringHash(one)("kind"), KeyedStringHash(one)("kind"));
  EXPECT_NE(KeyedStringHash(one)("kind"), KeyedStringHash(two)("kind"));
  EXPECT_NE(KeyedStringHash()("kind"), KeyedStringHash(one)("kind"));
  EXPECT_EQ(KeyedStringHash()("kind"), KeyedStringHash()("kind"));
}

}  // namespace
}  // namespace zunel
