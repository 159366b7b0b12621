#include "base/socket_handover.h"

#include <gtest/gtest.h>

namespace zunel {
namespace {

TEST(SocketHandoverHeader, ReadsBackTheBodySizeOfOneSocketAndRefusesEveryOtherHeader) {
  EXPECT_EQ(handover_body_size(handover_header(0)), 0u);
  EXPECT_EQ(handover_body_size(handover_header(628)), 628u);
  EXPECT_EQ(handover_body_size(handover_header(MAX_HANDOVER_BODY)), MAX_HANDOVER_BODY);
  const auto good = handover_header(628);
  EXPECT_EQ(std::vector<std::uint8_t>(good.begin(), good.end()),
            (std::vector<std::uint8_t>{'Z', 'S', 'K', 'T', 1, 0, 1, 0, 0x74, 0x02, 0, 0}));

  const struct {
    const char* name;
    std::size_t at;
    std::uint8_t value;
  } changes[] = {
      {"another format", 0, 'z'}, {"version 2", 4, 2},   {"version 256", 5, 1},
      {"no socket", 6, 0},        {"two sockets", 6, 2}, {"a body beyond the bound", 9, 0x04},
      {"a huge body", 11, 0x80},
  };
  for (const auto& change : changes) {
    auto header = good;
    header[change.at] = change.value;
    EXPECT_FALSE(handover_body_size(header).has_value()) << change.name;
  }
}

}  // namespace
}  // namespace zunel
