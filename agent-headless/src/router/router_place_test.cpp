#include "router/router_place.h"

#include <gtest/gtest.h>

namespace zunel {
namespace {

TEST(RouterPlace, OnlyTheOwnersUnwritableDirectoryAndSocketWithTheOwnerListening) {
  const PlaceFacts dir{0, 0755, true, false};
  const PlaceFacts sock{0, 0666, false, true};
  EXPECT_EQ(router_place_refused(dir, sock, 0, 0), std::nullopt);
  struct Row {
    PlaceFacts dir;
    PlaceFacts sock;
    std::uint32_t peer;
    const char* why;
  };
  const Row rows[] = {
      {{1000, 0755, true, false}, sock, 0, "a user's directory"},
      {{0, 0775, true, false}, sock, 0, "group may write"},
      {{0, 0757, true, false}, sock, 0, "others may write"},
      {{0, 01777, true, false}, sock, 0, "like /tmp"},
      {{0, 0755, false, false}, sock, 0, "not a directory (a link)"},
      {dir, {1000, 0666, false, true}, 0, "a user's socket"},
      {dir, {0, 0644, false, false}, 0, "a regular file"},
      {dir, sock, 1000, "a user's process listens"},
  };
  for (const auto& row : rows)
    EXPECT_NE(router_place_refused(row.dir, row.sock, row.peer, 0), std::nullopt) << row.why;
  EXPECT_EQ(router_place_refused({1000, 0755, true, false}, {1000, 0666, false, true}, 1000, 1000),
            std::nullopt)
      << "a test's own place, owned by the test's user";
}

}  // namespace
}  // namespace zunel
