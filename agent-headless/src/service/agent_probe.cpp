#include "service/agent_probe.h"

#include <boost/json/value.hpp>
#include <thread>

#include "base/strict_json.h"
#include "base/utf8.h"
#include "service/loopback_client.h"

namespace zunel {
namespace {

constexpr ExchangeLimits PROBE_LIMITS{std::chrono::milliseconds(400),
                                      std::chrono::milliseconds(700), 2048, 16384};

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
