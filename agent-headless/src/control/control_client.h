#pragma once
// The command-line side of the control channel's transport: one request line
// to the running agent on 127.0.0.1, one reply line back.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/outcome.h"

namespace zunel {

inline constexpr const char* AGENT_UNREACHABLE =
    "No se pudo conectar al agente. ¿Está corriendo 'zunel-print-agent run'?";
// The reply did not come in time. The request was sent, so the agent may
// still carry it out: the person is told to look rather than to retry.
inline constexpr const char* AGENT_BUSY = "el agente está ocupado; compruebe con `list`";
// The connection ended before a whole reply line came: the agent may or may
// not have carried the request out, and nothing it said can be trusted.
inline constexpr const char* AGENT_CONNECTION_LOST =
    "se perdió la conexión con el agente antes de su respuesta; compruebe con `list`";

// A running agent that never answers must not block the command for good.
struct ClientLimits {
  std::chrono::milliseconds connect_timeout{2'000};
  // From the connection until the whole reply line is in.
  std::chrono::milliseconds reply_timeout{10'000};
  // Far above any real device list; bounds what a stray program on the port
  // can make the command hold in memory.
  std::size_t max_reply_bytes = 16u << 20;
};

// Connects to 127.0.0.1:`port`, writes `request` and a line feed, and returns
// the reply up to its first line feed (not included). Fails with
// AGENT_UNREACHABLE when the connection cannot be made in time, with
// AGENT_BUSY when the reply is late, with AGENT_CONNECTION_LOST when the
// connection ends before the line feed (the agent ends every reply with
// one), with the system's error text when writing or reading fails, and
// with a short text of its own for a reply that is too long or not UTF-8.
[[nodiscard]] Outcome<std::string> control_request(std::uint16_t port, std::string_view request,
                                                   ClientLimits limits = {});

}  // namespace zunel
