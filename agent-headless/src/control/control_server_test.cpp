#include "control/control_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "base/build_config.h"
#include "base/loopback_listener.h"
#include "control_test_support.h"
#include "security_test_support.h"

namespace zunel {
namespace {

using namespace std::chrono_literals;
using testing::exchange;
using testing::Received;
using testing::StateFixture;
using testing::write_file;

const std::string TOKEN(64, '7');
const std::string INFO = R"({"cmd":"info","token":")" + TOKEN + R"("})";
// The reply's head, up to its devices: the agent's id, port, version and build.
const std::string INFO_HEAD = R"({"ok":true,"info":{"id":"agent-1","port":47631,"version":"1.0.1","build":")" +
                              std::string(agent_build()) + R"(",)";
const std::string INFO_REPLY = INFO_HEAD + R"("devices":[],"pairing_code":null,"executable":null}})" "\n";
const std::string INVALID_REPLY = "{\"ok\":false,\"error\":\"json inválido\"}\n";

// The control server on a free loopback port, on a thread of its own.
class RunningServer {
 public:
  explicit RunningServer(ControlLimits limits = {}, ControlledAgent agent = {}) {
    write_file(fx_.file(), R"({"id":"agent-1","devices":[],"revoked_seq":{}})");
    if (!fx_.load()) std::abort();
    auto listener = open_loopback_listener(io_, 0);
    if (!listener) std::abort();
    acceptor_.emplace(std::move(*listener));
    port_ = acceptor_->local_endpoint().port();
    std::shared_ptr<AgentState> state(std::move(fx_.state));
    thread_ = std::thread(
        [this, state, limits, agent] { serve_control(io_, *acceptor_, TOKEN, state, limits, agent); });
  }
  ~RunningServer() {
    io_.stop();
    thread_.join();
  }
  std::uint16_t port() const { return port_; }

 private:
  StateFixture fx_;
  boost::asio::io_context io_;
  std::optional<boost::asio::ip::tcp::acceptor> acceptor_;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

Received answered(const std::string& reply) { return Received{reply, true}; }


TEST(ControlServer, OneLineInOneLineOutThenClosed) {
  RunningServer server;
  const struct {
    const char* name;
    std::string send;
    bool end_sending;
    Received expected;
  } cases[] = {
      {"request and line feed", INFO + "\n", false, answered(INFO_REPLY)},
      {"spaces and carriage return around it", "  " + INFO + " \r\n", false, answered(INFO_REPLY)},
      {"later lines are ignored", INFO + "\n" + INFO + "\n{\n", false, answered(INFO_REPLY)},
      {"garbage after the first line", INFO + "\n\xff\xfe", false, answered(INFO_REPLY)},
      {"the stream ends without a line feed", INFO, true, answered(INFO_REPLY)},
      {"nothing sent at all", "", true, answered(INVALID_REPLY)},
      {"an empty line", "\n", false, answered(INVALID_REPLY)},
      {"a wrong token", R"({"cmd":"info","token":"x"})" "\n", false,
       answered("{\"ok\":false,\"error\":\"token inválido\"}\n")},
      {"not UTF-8: no reply", "{\"cmd\":\"info\xff\"}\n", false, answered("")},
      {"a lone continuation byte at the end: no reply", INFO + "\x80\n", false, answered("")},
  };
  // One after another on the same server: a refused connection does not
  // stop the next one from being served.
  for (const auto& c : cases) {
    EXPECT_EQ(exchange(server.port(), c.send, c.end_sending), c.expected) << c.name;
  }
}

TEST(ControlServer, AConnectionAcceptedElsewhereIsServedWhenHandedIn) {
  StateFixture fx;
  write_file(fx.file(), R"({"id":"agent-1","devices":[],"revoked_seq":{}})");
  ASSERT_TRUE(fx.load());
  auto hand = start_handed_control_thread(TOKEN, std::shared_ptr<AgentState>(std::move(fx.state)), {});
  ASSERT_TRUE(hand.ok()) << hand.error();
  boost::asio::io_context io;
  auto elsewhere = open_loopback_listener(io, 0);
  ASSERT_TRUE(elsewhere.ok()) << elsewhere.error();
  for (const std::string& send : {INFO + "\n", std::string("\n")}) {
    auto client = std::async(std::launch::async,
                             [port = elsewhere->local_endpoint().port(), send] { return testing::exchange(port, send); });
    hand->take(elsewhere->accept(hand->io));
    EXPECT_EQ(client.get(), answered(send == "\n" ? INVALID_REPLY : INFO_REPLY)) << send;
  }
}

TEST(ControlServer, AnAcceptedStopBeginsOnceItsReplyIsWritten) {
  std::atomic<int> stops{0};
  RunningServer server({}, ControlledAgent{"/opt/zunel/zunel-print-agent", [&] { ++stops; }});
  EXPECT_EQ(exchange(server.port(), R"({"cmd":"stop","token":"x"})" "\n"),
            answered("{\"ok\":false,\"error\":\"token inválido\"}\n"));
  EXPECT_EQ(exchange(server.port(), INFO + "\n"),
            answered(INFO_HEAD + R"("devices":[],"pairing_code":null,"executable":"/opt/zunel/zunel-print-agent"}})" "\n"));
  EXPECT_EQ(stops, 0);
  EXPECT_EQ(exchange(server.port(), R"({"cmd":"stop","token":")" + TOKEN + "\"}\n"),
            answered("{\"ok\":true}\n"));
  for (int i = 0; i < 100 && stops == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(stops, 1);
}

TEST(ControlServer, LineLengthLimit) {
  ControlLimits limits;
  limits.max_line_bytes = 64 * 1024;
  RunningServer server(limits);
  // Padded with spaces, which the server trims, to the exact length.
  const std::string longest = INFO + std::string(limits.max_line_bytes - INFO.size(), ' ');
  EXPECT_EQ(exchange(server.port(), longest + "\n"), answered(INFO_REPLY));
  EXPECT_EQ(exchange(server.port(), longest + " \n"), answered("")) << "one byte too long";
  EXPECT_EQ(exchange(server.port(), longest + " ", true), answered(""))
      << "too long and ended without a line feed";
  EXPECT_EQ(exchange(server.port(), std::string(1 << 20, ' ')), answered(""))
      << "a megabyte without a line feed";
  EXPECT_EQ(exchange(server.port(), INFO + "\n"), answered(INFO_REPLY)) << "still serving";
}

TEST(ControlServer, AClientThatSendsNoLineIsDroppedAndTheNextOneServed) {
  ControlLimits limits;
  limits.line_timeout = 300ms;
  RunningServer server(limits);

  // The first client sends half a request and then nothing; the second waits
  // in the backlog behind it.
  auto stalled = std::async(std::launch::async, [&] { return exchange(server.port(), "{\"cmd\""); });
  std::this_thread::sleep_for(50ms);
  auto waiting = std::async(std::launch::async, [&] { return exchange(server.port(), INFO + "\n"); });

  EXPECT_EQ(stalled.get(), answered("")) << "closed without a reply";
  EXPECT_EQ(waiting.get(), answered(INFO_REPLY));
}

// Connections that connect and send nothing, held open by the test.
class IdleClients {
 public:
  IdleClients(std::uint16_t port, int count) {
    for (int i = 0; i < count; ++i) {
      sockets_.emplace_back(io_).connect({boost::asio::ip::address_v4::loopback(), port});
    }
  }
  // Whether the agent closed client `i` within `wait`.
  bool closed_by_agent(std::size_t i, std::chrono::milliseconds wait) {
    bool closed = false;
    char byte;
    sockets_[i].async_read_some(boost::asio::buffer(&byte, 1),
                                [&](boost::system::error_code ec, std::size_t) { closed = !!ec; });
    io_.restart();
    io_.run_for(wait);
    return closed;
  }

 private:
  boost::asio::io_context io_;
  std::deque<boost::asio::ip::tcp::socket> sockets_;
};

TEST(ControlServer, LinesAreReadFromAllConnectionsAtOnce) {
  ControlLimits limits;
  limits.line_timeout = 20s;  // one idle client at a time would hold a request 20 s
  RunningServer server(limits);
  IdleClients idle(server.port(), 20);
  EXPECT_EQ(exchange(server.port(), INFO + "\n", false, 5s), answered(INFO_REPLY));
  EXPECT_FALSE(idle.closed_by_agent(0, 100ms)) << "idle clients wait within their time";
}

TEST(ControlServer, WhenAllConnectionsAreTakenTheOldestIdleOneMakesRoom) {
  ControlLimits limits;
  limits.line_timeout = 20s;
  limits.max_connections = 32;
  RunningServer server(limits);
  IdleClients idle(server.port(), 32);
  EXPECT_EQ(exchange(server.port(), INFO + "\n", false, 5s), answered(INFO_REPLY))
      << "the 33rd connection is served";
  EXPECT_TRUE(idle.closed_by_agent(0, 5s)) << "the oldest idle connection was closed for it";
  EXPECT_FALSE(idle.closed_by_agent(1, 100ms)) << "the next oldest was kept";
}

TEST(ControlServer, TheTimeLimitCountsFromTheConnectionNotFromEachByte) {
  ControlLimits limits;
  limits.line_timeout = 400ms;
  RunningServer server(limits);
  // A client that trickles one byte every 100 ms never completes its line.
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket socket(io);
  socket.connect({boost::asio::ip::address_v4::loopback(), server.port()});
  const auto start = std::chrono::steady_clock::now();
  boost::system::error_code ec;
  while (!ec && std::chrono::steady_clock::now() - start < 3s) {
    boost::asio::write(socket, boost::asio::buffer(" ", 1), ec);
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(ec) << "the server kept a trickling connection open for 3 s";
}

}  // namespace
}  // namespace zunel
