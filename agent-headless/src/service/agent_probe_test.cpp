#include "service/agent_probe.h"

#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <thread>
#include <vector>

namespace zunel {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

const std::string kHead = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n";

TEST(PingAnswer, OnlyTheAgentsOwnAnswerCounts) {
  struct Case {
    const char* name;
    std::string raw;
    bool yes;
  } cases[] = {
      {"agent", kHead + R"({"ok":true,"capabilities":["print"]})", true},
      {"empty capabilities", kHead + R"({"ok":true,"capabilities":[]})", true},
      {"http 1.0", "HTTP/1.0 200 OK\r\n\r\n{\"ok\":true,\"capabilities\":[]}", true},
      {"white space around body", kHead + " \r\n\t{\"ok\":true,\"capabilities\":[]}\r\n\r\n", true},
      {"other members", kHead + R"({"version":"1.0.1","ok":true,"capabilities":[1]})", true},
      {"no capabilities", kHead + R"({"ok":true})", false},
      {"capabilities not array", kHead + R"({"ok":true,"capabilities":"print"})", false},
      {"ok false", kHead + R"({"ok":false,"capabilities":[]})", false},
      {"ok is 1", kHead + R"({"ok":1,"capabilities":[]})", false},
      {"ok is string", kHead + R"({"ok":"true","capabilities":[]})", false},
      {"array body", kHead + R"([{"ok":true,"capabilities":[]}])", false},
      {"not json", kHead + "<html>ok</html>", false},
      {"json then text", kHead + R"({"ok":true,"capabilities":[]} x)", false},
      {"duplicate member", kHead + R"({"ok":false,"ok":true,"capabilities":[]})", false},
      {"status 404", "HTTP/1.1 404 Not Found\r\n\r\n{\"ok\":true,\"capabilities\":[]}", false},
      {"status 2000", "HTTP/1.1 2000\r\n\r\n{\"ok\":true,\"capabilities\":[]}", true},
      {"lower-case http", "http/1.1 200 OK\r\n\r\n{\"ok\":true,\"capabilities\":[]}", false},
      {"no blank line", "HTTP/1.1 200 OK\r\n{\"ok\":true,\"capabilities\":[]}", false},
      {"bare LF blank line", "HTTP/1.1 200 OK\n\n{\"ok\":true,\"capabilities\":[]}", false},
      {"headers only", "HTTP/1.1 200 OK\r\n\r\n", false},
      {"too short", "HTTP/1.1 20", false},
      {"nothing", "", false},
      {"chunked body", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                       "1f\r\n{\"ok\":true,\"capabilities\":[]}\r\n0\r\n\r\n", false},
      // An invalid byte inside a string is replaced, so the body still parses.
      {"invalid utf-8 in a string", kHead + "{\"ok\":true,\"capabilities\":[\"\xff\"]}", true},
      {"invalid utf-8 outside strings", kHead + "{\"ok\":true,\xff\"capabilities\":[]}", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_agent_ping_answer(c.raw), c.yes) << c.name;
}

TEST(PingAnswer, RequestIsAPlainGetWithHostAndClose) {
  EXPECT_EQ(ping_request(47631),
            "GET /v1/ping HTTP/1.1\r\nHost: 127.0.0.1:47631\r\nConnection: close\r\n\r\n");
}

class ScriptedProbe final : public AgentProbe {
 public:
  explicit ScriptedProbe(std::vector<bool> answers, std::vector<std::string>* log)
      : answers_(std::move(answers)), log_(log) {}
  bool agent_answers(std::uint16_t port) override {
    log_->push_back("probe:" + std::to_string(port));
    const bool yes = next_ < answers_.size() && answers_[next_];
    ++next_;
    return yes;
  }

 private:
  std::vector<bool> answers_;
  std::size_t next_ = 0;
  std::vector<std::string>* log_;
};

class RecordingSleeper final : public Sleeper {
 public:
  explicit RecordingSleeper(std::vector<std::string>* log) : log_(log) {}
  void sleep_for(std::chrono::milliseconds pause) override {
    log_->push_back("sleep:" + std::to_string(pause.count()));
  }

 private:
  std::vector<std::string>* log_;
};

TEST(WaitForAgent, ProbesWithPausesBetweenAndStopsAtFirstYes) {
  struct Case {
    std::vector<bool> answers;
    bool result;
    std::vector<std::string> log;
  } cases[] = {
      {{true}, true, {"probe:9"}},
      {{false, false, true}, true, {"probe:9", "sleep:500", "probe:9", "sleep:500", "probe:9"}},
      {{false, false, false, false, false, true}, false,
       {"probe:9", "sleep:500", "probe:9", "sleep:500", "probe:9", "sleep:500", "probe:9",
        "sleep:500", "probe:9"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> log;
    ScriptedProbe probe(c.answers, &log);
    RecordingSleeper sleeper(&log);
    EXPECT_EQ(wait_for_agent(probe, sleeper, 9, 5, std::chrono::milliseconds(500)), c.result);
    EXPECT_EQ(log, c.log);
  }
}

// A server on an ephemeral loopback port that accepts one connection, reads
// the request head, answers with `reply` and closes after `hold`.
class OneShotServer {
 public:
  OneShotServer(std::string reply, std::chrono::milliseconds hold = std::chrono::milliseconds(0))
      : acceptor_(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
    port_ = acceptor_.local_endpoint().port();
    thread_ = std::thread([this, reply = std::move(reply), hold] {
      boost::system::error_code ec;
      tcp::socket socket(io_);
      acceptor_.accept(socket, ec);
      if (ec) return;
      asio::read_until(socket, asio::dynamic_buffer(request_), "\r\n\r\n", ec);
      asio::write(socket, asio::buffer(reply), ec);
      std::this_thread::sleep_for(hold);
      socket.close(ec);
    });
  }
  ~OneShotServer() {
    boost::system::error_code ec;
    acceptor_.close(ec);
    if (thread_.joinable()) thread_.join();
  }
  std::uint16_t port() const { return port_; }
  // Valid once the probe has returned.
  const std::string& request() const { return request_; }

 private:
  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::uint16_t port_ = 0;
  std::string request_;
  std::thread thread_;
};

TEST(SystemAgentProbe, TalksToARealLoopbackServer) {
  {
    OneShotServer server(kHead + R"({"ok":true,"capabilities":["raw"]})");
    EXPECT_TRUE(system_agent_probe().agent_answers(server.port()));
    // The peer saw exactly the probe's request (read_until may read no further).
    EXPECT_EQ(server.request(), ping_request(server.port()));
  }
  {
    OneShotServer server(kHead + R"({"ok":true})");
    EXPECT_FALSE(system_agent_probe().agent_answers(server.port()));
  }
  {
    // The answer is complete but the peer keeps the connection open: the read
    // time limit ends the wait and what arrived is judged.
    OneShotServer server(kHead + R"({"ok":true,"capabilities":[]})", std::chrono::milliseconds(1500));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(system_agent_probe().agent_answers(server.port()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1400));
  }
}

TEST(SystemAgentProbe, NoServerMeansNo) {
  // Bind and release a port so that nothing listens on it.
  asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const auto port = acceptor.local_endpoint().port();
  acceptor.close();
  EXPECT_FALSE(system_agent_probe().agent_answers(port));
}

}  // namespace
}  // namespace zunel
