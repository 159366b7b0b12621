// Runs under Wine, started by wine_platform_test.py: ZUNEL_TEST_HANGING_PORT
// is a loopback port whose listener has a full accept queue, so a connection
// attempt hangs until the agent's own bound ends it.
#include "printing/tcp_network.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "printing/tcp_channel.h"

namespace zunel {
namespace {

TEST(WineTcp, AConnectionThatHangsEndsWithTheSystemTimeOutText) {
  const char* port = std::getenv("ZUNEL_TEST_HANGING_PORT");
  if (port == nullptr) GTEST_SKIP() << "needs the hanging listener of wine_platform_test.py";
  const auto start = std::chrono::steady_clock::now();
  const Status status = send_tcp(system_tcp_network(), "127.0.0.1", static_cast<std::uint16_t>(std::atoi(port)), {},
                                 std::chrono::milliseconds(300));
  const auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(status.ok());
  // WSAETIMEDOUT.
  EXPECT_NE(status.error().find(" (os error 10060)"), std::string::npos) << status.error();
  EXPECT_GE(waited, std::chrono::milliseconds(300));
  EXPECT_LT(waited, std::chrono::seconds(5));
}

}  // namespace
}  // namespace zunel
