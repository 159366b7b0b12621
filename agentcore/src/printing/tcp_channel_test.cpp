#include "printing/tcp_channel.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "fake_clock.h"
#include "print_fakes.h"
#include "printing/write_all.h"
#include "test_listeners.h"

namespace zunel {
namespace {

using ::testing::HasSubstr;

// "<the system's text> (os error N)". Written out rather than as a regular
// expression: GoogleTest's Windows regex has no bracket expressions.
MATCHER(IsSystemErrorText, "is a system text followed by \" (os error N)\"") {
  const std::string& text = arg;
  const std::string tag = " (os error ";
  const auto at = text.rfind(tag);
  if (at == std::string::npos || at == 0 || text.back() != ')') return false;
  const std::string digits = text.substr(at + tag.size(), text.size() - 1 - at - tag.size());
  return !digits.empty() &&
         std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

std::vector<std::uint8_t> job(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return bytes;
}

// --- The channel's logic, over a recording network ---

struct TcpCase {
  const char* name;
  void (*script)(FakeTcpNetwork&);
  std::size_t size;
  const char* error;  // nullptr: success
  std::vector<std::string> log;
};

TEST(SendTcp, FollowsTheConnectionSequenceOnEveryPath) {
  const std::vector<TcpCase> cases = {
      {"whole job in one send", [](FakeTcpNetwork&) {}, 100, nullptr,
       {"resolve:printer:9100", "connect:A", "send:100", "close"}},
      {"a large job is offered 64 KiB per send", [](FakeTcpNetwork&) {}, 150000, nullptr,
       {"resolve:printer:9100", "connect:A", "send:65536", "send:65536", "send:18928", "close"}},
      {"empty job connects and sends nothing", [](FakeTcpNetwork&) {}, 0, nullptr,
       {"resolve:printer:9100", "connect:A", "close"}},
      {"partial sends go on with the rest",
       [](FakeTcpNetwork& n) { n.sends = {Outcome<std::size_t>(30), Outcome<std::size_t>(1)}; }, 100, nullptr,
       {"resolve:printer:9100", "connect:A", "send:100", "send:70", "send:69", "close"}},
      {"resolution fails", [](FakeTcpNetwork& n) { n.addresses = fail("Name or service not known (os error -2)"); },
       10, "Name or service not known (os error -2)", {"resolve:printer:9100"}},
      {"resolution gives no address", [](FakeTcpNetwork& n) { n.addresses = std::vector<TcpAddress>{}; }, 10,
       "could not resolve to any addresses", {"resolve:printer:9100"}},
      {"first address refuses, second takes the job",
       [](FakeTcpNetwork& n) {
         n.addresses = std::vector<TcpAddress>{{"A"}, {"B"}, {"C"}};
         n.refusing["A"] = "refused A";
       },
       10, nullptr, {"resolve:printer:9100", "connect:A", "connect:B", "send:10", "close"}},
      {"every address fails: the last error",
       [](FakeTcpNetwork& n) {
         n.addresses = std::vector<TcpAddress>{{"A"}, {"B"}};
         n.refusing = {{"A", "refused A"}, {"B", "timed out B"}};
       },
       10, "timed out B", {"resolve:printer:9100", "connect:A", "connect:B"}},
      {"a send that takes nothing in its wait is tried again",
       [](FakeTcpNetwork& n) { n.sends = {Outcome<std::size_t>(4), Outcome<std::size_t>(0)}; }, 10, nullptr,
       {"resolve:printer:9100", "connect:A", "send:10", "send:6", "send:6", "close"}},
      {"a send that fails",
       [](FakeTcpNetwork& n) {
         n.sends = {Outcome<std::size_t>(4), Outcome<std::size_t>(fail("Broken pipe (os error 32)"))};
       },
       10, "Broken pipe (os error 32)",
       {"resolve:printer:9100", "connect:A", "send:10", "send:6", "close"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeTcpNetwork network;
    c.script(network);
    const auto bytes = job(c.size);
    const Status status = send_tcp(network, "printer", 9100, bytes);
    if (c.error == nullptr) {
      ASSERT_TRUE(status.ok()) << status.error();
      EXPECT_EQ(network.received, bytes);
    } else {
      ASSERT_FALSE(status.ok());
      EXPECT_EQ(status.error(), c.error);
    }
    EXPECT_EQ(network.log, c.log);
  }
}

// The 5 s are measured from the last byte the printer took, over the whole
// job: a printer that takes a byte every 4.9 s is never cut, one that then
// takes nothing fails exactly 5 s after its last byte.
TEST(SendTcpJob, FailsOnlyOnceThePrinterTookNothingForFiveSeconds) {
  FakeMonotonicClock clock;
  FakeTcpNetwork network;
  network.clock = &clock;  // each send that takes nothing waits its whole wait
  const Outcome<std::size_t> nothing = std::size_t{0}, one_byte = std::size_t{1};
  for (int byte = 0; byte < 3; ++byte) {
    network.sends.insert(network.sends.end(), 49, nothing);
    network.sends.push_back(one_byte);
  }
  network.sends.insert(network.sends.end(), 60, nothing);
  auto connection = open_tcp(network, "printer", 9100, TCP_CONNECT_TIMEOUT);
  ASSERT_TRUE(connection.ok());
  const auto start = clock.now();
  const Status status = send_tcp_job(**connection, job(10), clock);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error(), "la impresora dejó de recibir datos durante 5 s");
  EXPECT_EQ(network.received.size(), 3u);
  EXPECT_EQ(clock.now() - start, std::chrono::milliseconds(3 * 4900 + 5000));
}

TEST(SendTcp, BoundsEachConnectionAttempt) {
  FakeTcpNetwork network;
  ASSERT_TRUE(send_tcp(network, "h", 1, job(1)).ok());
  EXPECT_EQ(network.last_connect_timeout, std::chrono::milliseconds(5000));
  ASSERT_TRUE(send_tcp(network, "h", 1, job(1), std::chrono::milliseconds(250)).ok());
  EXPECT_EQ(network.last_connect_timeout, std::chrono::milliseconds(250));
}

// --- The system's sockets, against loopback listeners ---

// Resolves to fixed loopback addresses, one per port, through the real resolver.
class FixedAddresses final : public TcpNetwork {
 public:
  explicit FixedAddresses(std::vector<std::uint16_t> ports) : ports_(std::move(ports)) {}
  Outcome<std::vector<TcpAddress>> resolve(const std::string&, std::uint16_t) override {
    std::vector<TcpAddress> all;
    for (const std::uint16_t port : ports_) {
      auto one = system_tcp_network().resolve("127.0.0.1", port);
      if (!one) return one;
      all.insert(all.end(), one->begin(), one->end());
    }
    return all;
  }
  Outcome<std::unique_ptr<TcpConnection>> connect(const TcpAddress& address,
                                                  std::chrono::milliseconds timeout) override {
    return system_tcp_network().connect(address, timeout);
  }

 private:
  std::vector<std::uint16_t> ports_;
};

TEST(SendTcpLoopback, DeliversTheJobByteForByteAndTheEmptyJob) {
  LoopbackSink sink;
  const auto bytes = job(3 * 1024 * 1024 + 17);
  ASSERT_TRUE(send_tcp(system_tcp_network(), "127.0.0.1", sink.port(), bytes).ok());
  const auto first = sink.closed_connection(0, std::chrono::seconds(10));
  ASSERT_TRUE(first);
  EXPECT_TRUE(*first == bytes) << "received " << first->size() << " bytes";

  ASSERT_TRUE(send_tcp(system_tcp_network(), "127.0.0.1", sink.port(), {}).ok());
  const auto second = sink.closed_connection(1, std::chrono::seconds(10));
  ASSERT_TRUE(second);
  EXPECT_TRUE(second->empty());
}

TEST(SendTcpLoopback, NamesAndLiteralsResolve) {
  for (const char* host : {"127.0.0.1", "localhost"}) {
    auto addresses = system_tcp_network().resolve(host, 9100);
    ASSERT_TRUE(addresses.ok()) << host << ": " << addresses.error();
    EXPECT_FALSE(addresses->empty()) << host;
  }
  auto v6 = system_tcp_network().resolve("::1", 9100);
  ASSERT_TRUE(v6.ok()) << v6.error();
  EXPECT_EQ(v6->size(), 1u);
  // The resolver would stop at the NUL and find 127.0.0.1.
  auto with_nul = system_tcp_network().resolve(std::string("127.0.0.1\0.evil", 15), 9100);
  ASSERT_FALSE(with_nul.ok());
  EXPECT_THAT(with_nul.error(), HasSubstr(" (os error "));
}

TEST(SendTcpLoopback, FirstAddressRefusesSecondTakesTheJob) {
  LoopbackSink sink;
  FixedAddresses two({closed_loopback_port(), sink.port()});
  const auto bytes = job(1000);
  const Status status = send_tcp(two, "printer", 9100, bytes);
  ASSERT_TRUE(status.ok()) << status.error();
  const auto got = sink.closed_connection(0, std::chrono::seconds(10));
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, bytes);
}

TEST(SendTcpLoopback, RefusedEverywhereGivesTheSystemText) {
  FixedAddresses none({closed_loopback_port(), closed_loopback_port()});
  const Status status = send_tcp(none, "printer", 9100, job(10));
  ASSERT_FALSE(status.ok());
  EXPECT_THAT(status.error(), IsSystemErrorText());
}

// Slow: waits out the 5 s.
TEST(SendTcpLoopback, AReceiverThatStopsReadingFailsTheJobFiveSecondsAfterItsLastByte) {
  StalledListener stalled;
  const auto bytes = job(64 * 1024 * 1024);
  const auto start = std::chrono::steady_clock::now();
  const Status status = send_tcp(system_tcp_network(), "127.0.0.1", stalled.port(), bytes);
  const auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error(), PRINTER_STOPPED_READING);
  EXPECT_GE(waited, std::chrono::milliseconds(4900));
  EXPECT_LT(waited, std::chrono::seconds(7));
}

}  // namespace
}  // namespace zunel
