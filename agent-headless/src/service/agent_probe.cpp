#include "service/agent_probe.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/json/value.hpp>
#include <exception>
#include <optional>
#include <thread>

#include "base/strict_json.h"
#include "base/timed_step.h"
#include "base/utf8.h"

namespace zunel {
namespace {

namespace net = boost::asio;
using net::ip::tcp;
using boost::system::error_code;

constexpr auto CONNECT_TIMEOUT = std::chrono::milliseconds(400);
constexpr auto READ_TIMEOUT = std::chrono::milliseconds(700);  // for each read
constexpr std::size_t READ_CHUNK = 2048;                       // bytes asked for by each read
constexpr std::size_t ENOUGH = 16384;                          // stop reading once this much has arrived

// Connects `socket` to 127.0.0.1:`port` within CONNECT_TIMEOUT.
bool connect_loopback(net::io_context& io, tcp::socket& socket, std::uint16_t port) {
  error_code step_ec;
  socket.async_connect(tcp::endpoint(net::ip::address_v4::loopback(), port), [&](error_code ec) {
    step_ec = ec;
  });
  run_within(io, socket, CONNECT_TIMEOUT);
  return !step_ec && socket.is_open();
}

// Connects to 127.0.0.1:`port`, sends all of `request`, then reads until the
// peer closes, a read fails or times out, or ENOUGH bytes have arrived, and
// returns what was read (possibly nothing). Nothing when the connection or
// the send failed.
std::optional<std::string> loopback_exchange(std::uint16_t port, std::string_view request) {
  try {
    net::io_context io;
    tcp::socket socket(io);
    if (!connect_loopback(io, socket, port)) return std::nullopt;

    error_code step_ec;
    net::write(socket, net::buffer(request.data(), request.size()), step_ec);
    if (step_ec) return std::nullopt;

    std::string answer;
    std::string chunk(READ_CHUNK, '\0');
    while (answer.size() < ENOUGH && socket.is_open()) {
      std::size_t got = 0;
      socket.async_read_some(net::buffer(chunk), [&](error_code ec, std::size_t n) {
        step_ec = ec;
        got = n;
      });
      run_within(io, socket, READ_TIMEOUT);
      answer.append(chunk.data(), got);
      if (step_ec) break;  // closed, failed or timed out
    }
    return answer;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

class SystemAgentProbe final : public AgentProbe {
 public:
  bool agent_answers(std::uint16_t port) override {
    const auto answer = loopback_exchange(port, ping_request(port));
    return answer.has_value() && is_agent_ping_answer(*answer);
  }
};

class SystemSleeper final : public Sleeper {
 public:
  void sleep_for(std::chrono::milliseconds pause) override { std::this_thread::sleep_for(pause); }
};

}  // namespace

bool loopback_port_accepts(std::uint16_t port) {
  try {
    net::io_context io;
    tcp::socket socket(io);
    return connect_loopback(io, socket, port);
  } catch (const std::exception&) {
    return false;
  }
}

std::string ping_request(std::uint16_t port) {
  return "GET /v1/ping HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nConnection: close\r\n\r\n";
}

bool is_agent_ping_answer(std::string_view raw) {
  // Invalid UTF-8 is replaced by U+FFFD, as a lenient client would read it.
  const std::string text = utf16_to_utf8(utf8_to_utf16(raw));
  if (text.size() < 12) return false;
  const std::string_view status(text.data(), 12);
  if (status != "HTTP/1.1 200" && status != "HTTP/1.0 200") return false;
  const auto header_end = text.find("\r\n\r\n");
  if (header_end == std::string::npos) return false;
  const auto body = trim_unicode_space(std::string_view(text).substr(header_end + 4));
  const auto json = parse_strict_json(body);
  if (!json.ok() || !json.value().is_object()) return false;
  const auto& object = json.value().get_object();
  const auto* ok = object.if_contains("ok");
  const auto* capabilities = object.if_contains("capabilities");
  return ok != nullptr && ok->is_bool() && ok->get_bool() && capabilities != nullptr &&
         capabilities->is_array();
}

bool wait_for_agent(AgentProbe& probe, Sleeper& sleeper, std::uint16_t port, int attempts,
                    std::chrono::milliseconds pause) {
  for (int i = 0; i < attempts; ++i) {
    if (i > 0) sleeper.sleep_for(pause);
    if (probe.agent_answers(port)) return true;
  }
  return false;
}

AgentProbe& system_agent_probe() {
  static SystemAgentProbe probe;
  return probe;
}

Sleeper& system_sleeper() {
  static SystemSleeper sleeper;
  return sleeper;
}

}  // namespace zunel
