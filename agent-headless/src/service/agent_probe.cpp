#include "service/agent_probe.h"

#include <boost/json/value.hpp>
#include <thread>

#include "base/strict_json.h"
#include "service/loopback_client.h"

namespace zunel {
namespace {

constexpr ExchangeLimits PROBE_LIMITS{std::chrono::milliseconds(400),
                                      std::chrono::milliseconds(700), 2048, 16384};

// Length of the valid UTF-8 sequence at the start of `s`, or 0.
std::size_t valid_sequence(std::string_view s) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const auto cont = [&](std::size_t i) { return i < s.size() && (b(i) & 0xC0) == 0x80; };
  const unsigned char lead = b(0);
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return cont(1) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (!cont(1) || !cont(2)) return 0;
    if (lead == 0xE0 && b(1) < 0xA0) return 0;   // overlong
    if (lead == 0xED && b(1) >= 0xA0) return 0;  // surrogate
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    if (lead == 0xF0 && b(1) < 0x90) return 0;   // overlong
    if (lead == 0xF4 && b(1) >= 0x90) return 0;  // beyond U+10FFFF
    return 4;
  }
  return 0;
}

// The text with each byte that does not start a valid sequence replaced by U+FFFD.
std::string decode_utf8_lossy(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  while (!raw.empty()) {
    const std::size_t n = valid_sequence(raw);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      raw.remove_prefix(1);
    } else {
      out.append(raw.substr(0, n));
      raw.remove_prefix(n);
    }
  }
  return out;
}

std::string_view trim(std::string_view s) {
  constexpr std::string_view space = " \t\r\n\f\v";
  const auto first = s.find_first_not_of(space);
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(space);
  return s.substr(first, last - first + 1);
}

class SystemAgentProbe final : public AgentProbe {
 public:
  bool agent_answers(std::uint16_t port) override {
    const auto answer = loopback_exchange(port, ping_request(port), PROBE_LIMITS);
    return answer.has_value() && is_agent_ping_answer(*answer);
  }
};

class SystemSleeper final : public Sleeper {
 public:
  void sleep_for(std::chrono::milliseconds pause) override { std::this_thread::sleep_for(pause); }
};

}  // namespace

std::string ping_request(std::uint16_t port) {
  return "GET /v1/ping HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nConnection: close\r\n\r\n";
}

bool is_agent_ping_answer(std::string_view raw) {
  const std::string text = decode_utf8_lossy(raw);
  if (text.size() < 12) return false;
  const std::string_view status(text.data(), 12);
  if (status != "HTTP/1.1 200" && status != "HTTP/1.0 200") return false;
  const auto header_end = text.find("\r\n\r\n");
  if (header_end == std::string::npos) return false;
  const auto body = trim(std::string_view(text).substr(header_end + 4));
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
