#pragma once
// What the router writes on a connection it gives to nobody (its user has
// no agent registered, or the system could not say who opened it), then it
// closes the connection. On the HTTP port it reads the request's head, and
// only that, to answer as the agent would: a 503 that a page can tell from
// an agent that is not running, with the CORS headers of an allowed
// origin, and a preflight's 204 so that the page's request itself comes and
// gets the 503. On the control port it reads nothing.

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace zunel {

// The most of a request's head the router reads, and for how long; with
// less by then it answers without CORS.
inline constexpr std::size_t NO_AGENT_HEAD_BYTES = 8 * 1024;
inline constexpr std::chrono::milliseconds NO_AGENT_HEAD_TIME{2'000};

inline constexpr std::string_view NO_AGENT_TEXT =
    "no hay un agente de impresión iniciado para este usuario de Windows";

// The control channel's reply line, line feed included.
inline constexpr std::string_view NO_AGENT_CONTROL_LINE = "{\"ok\":false,\"error\":\"no_agent_for_user\"}\n";

// Whether the bytes received hold a whole head, or as much as the router
// reads.
bool no_agent_head_read(std::string_view received);

// The answer's bytes, from what was received of the request (a whole head,
// or less when the head was cut, too long or not HTTP): 503
// {"code":"no_agent_for_user","error":NO_AGENT_TEXT} with "Connection:
// close", and the CORS headers when the head names an allowed origin; the
// preflight's 204 for an OPTIONS request from one.
std::string no_agent_http_answer(std::string_view received, std::string_view erp_domain);

}  // namespace zunel
