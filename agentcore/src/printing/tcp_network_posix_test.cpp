#include "printing/tcp_network.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "printing/tcp_channel.h"
#include "test_listeners.h"

namespace zunel {
namespace {

// A listener whose accept queue is full: the kernel drops further SYNs, so a
// connection attempt hangs as one to a vanished host does.
class FullBacklogListener {
 public:
  FullBacklogListener() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof address;
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), len), 0);
    EXPECT_EQ(::listen(listener_, 0), 0);
    EXPECT_EQ(::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &len), 0);
    port_ = ntohs(address.sin_port);
    filler_ = ::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(::connect(filler_, reinterpret_cast<sockaddr*>(&address), len), 0);
  }
  ~FullBacklogListener() {
    ::close(filler_);
    ::close(listener_);
  }
  std::uint16_t port() const { return port_; }

 private:
  int listener_ = -1;
  int filler_ = -1;
  std::uint16_t port_ = 0;
};

TEST(PosixTcpNetwork, ConnectionErrorsReadAsTheSystemWordsThem) {
  const Status refused = send_tcp(system_tcp_network(), "127.0.0.1", closed_loopback_port(), {});
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), "Connection refused (os error 111)");

  FullBacklogListener hanging;
  const auto start = std::chrono::steady_clock::now();
  const Status timed_out =
      send_tcp(system_tcp_network(), "127.0.0.1", hanging.port(), {}, std::chrono::milliseconds(300));
  const auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(timed_out.ok());
  EXPECT_EQ(timed_out.error(), "Connection timed out (os error 110)");
  EXPECT_GE(waited, std::chrono::milliseconds(300));
  EXPECT_LT(waited, std::chrono::seconds(5));
}

TEST(PosixTcpNetwork, ASendWithNoRoomTakesNothingOnceItsWaitPasses) {
  StalledListener stalled;
  auto addresses = system_tcp_network().resolve("127.0.0.1", stalled.port());
  ASSERT_TRUE(addresses.ok() && addresses->size() == 1u);
  auto connection = system_tcp_network().connect(addresses->front(), std::chrono::seconds(5));
  ASSERT_TRUE(connection.ok()) << connection.error();
  const std::vector<std::uint8_t> chunk(1 << 20, 0x55);
  Outcome<std::size_t> sent = std::size_t{1};
  for (int i = 0; i < 256 && sent.ok() && *sent > 0; ++i) {
    sent = (*connection)->send_some(chunk.data(), chunk.size(), std::chrono::milliseconds(200));
  }
  ASSERT_TRUE(sent.ok()) << sent.error();
  EXPECT_EQ(*sent, 0u);
  const auto start = std::chrono::steady_clock::now();
  sent = (*connection)->send_some(chunk.data(), chunk.size(), std::chrono::milliseconds(200));
  const auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(sent.ok() && *sent == 0u);
  EXPECT_GE(waited, std::chrono::milliseconds(190));
  EXPECT_LT(waited, std::chrono::seconds(2));
}

TEST(PosixTcpNetwork, ReceiveWaitsItsTimeOutThenTakesWhatCameUntilThePeerCloses) {
  // A listener whose one connection this test accepts by hand.
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), len), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &len), 0);
  auto addresses = system_tcp_network().resolve("127.0.0.1", ntohs(address.sin_port));
  ASSERT_TRUE(addresses.ok() && addresses->size() == 1u);
  auto connection = system_tcp_network().connect(addresses->front(), std::chrono::seconds(5));
  ASSERT_TRUE(connection.ok()) << connection.error();
  const int peer = ::accept(listener, nullptr, nullptr);
  ::close(listener);
  ASSERT_GE(peer, 0);

  std::uint8_t buffer[8];
  const auto start = std::chrono::steady_clock::now();
  auto nothing = (*connection)->receive_some(buffer, sizeof buffer, std::chrono::milliseconds(100));
  ASSERT_TRUE(nothing.ok()) << nothing.error();
  EXPECT_EQ(*nothing, 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));

  ASSERT_EQ(::send(peer, "\x12\x1a\x32", 3, 0), 3);
  ::close(peer);
  auto got = (*connection)->receive_some(buffer, sizeof buffer, std::chrono::milliseconds(1000));
  ASSERT_TRUE(got.ok()) << got.error();
  EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + *got), (std::vector<std::uint8_t>{0x12, 0x1a, 0x32}));
  auto closed = (*connection)->receive_some(buffer, sizeof buffer, std::chrono::milliseconds(1000));
  ASSERT_FALSE(closed.ok());
  EXPECT_EQ(closed.error(), TCP_CLOSED_BY_PEER);
}

TEST(PosixTcpNetwork, UnknownHostGivesTheResolverText) {
  auto addresses = system_tcp_network().resolve("no-such-host.invalid", 9100);
  ASSERT_FALSE(addresses.ok());
  // The resolver's own codes are negative (EAI_NONAME, EAI_AGAIN without a network).
  EXPECT_THAT(addresses.error(), ::testing::MatchesRegex(".+ \\(os error -[0-9]+\\)"));
}

}  // namespace
}  // namespace zunel
