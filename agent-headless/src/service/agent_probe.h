#pragma once
// Whether the agent answers on its HTTP port: one GET /v1/ping on loopback,
// accepted only when the answer looks like the agent's own (status 200 and a
// JSON object with "ok": true and a "capabilities" array).

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace zunel {

class AgentProbe {
 public:
  virtual ~AgentProbe() = default;
  // One attempt: 400 ms to connect, 700 ms for each read.
  virtual bool agent_answers(std::uint16_t port) = 0;
};

// The probe that talks to the real port.
AgentProbe& system_agent_probe();

class Sleeper {
 public:
  virtual ~Sleeper() = default;
  virtual void sleep_for(std::chrono::milliseconds pause) = 0;
};

Sleeper& system_sleeper();

// Probes up to `attempts` times, stopping at the first yes, with `pause`
// between two probes (not after the last).
bool wait_for_agent(AgentProbe& probe, Sleeper& sleeper, std::uint16_t port, int attempts,
                    std::chrono::milliseconds pause);

// Whether anything takes a connection on 127.0.0.1:`port` within 400 ms.
bool loopback_port_accepts(std::uint16_t port);

// The exact request the probe sends.
std::string ping_request(std::uint16_t port);

// Whether `raw` (everything read from the connection, undecoded) is the
// agent's ping answer. No chunked decoding: the agent answers with a plain body.
bool is_agent_ping_answer(std::string_view raw);

}  // namespace zunel
