#pragma once
// The control channel's wire format, agent side: one request line
// (`Peticion`) in, one reply line out. Sockets are the server's business
// (control/control_server.h); this part only turns a line into a reply.

#include <optional>
#include <string>
#include <string_view>

namespace zunel {

class AgentState;
class Clock;
class Journal;
struct AgentInfo;

// One control request. Keys may come in any order and unknown keys are
// ignored; a duplicate key, a missing or mistyped `token` or `cmd`, an `id`
// that is neither a string nor null, or text after the object make it invalid.
struct Peticion {
  std::string token;
  std::string cmd;               // "pair", "info", "revoke" or "stop"
  std::optional<std::string> id;  // for "revoke"; absent and null are the same
};

// Parses a request already trimmed of white space; nothing when invalid.
std::optional<Peticion> parse_peticion(std::string_view text);

// The "info" reply's snapshot: compact JSON with the members in declaration
// order, then "executable", the running agent's executable file (so that an
// installer can tell another build from itself); absent optionals and an
// unknown (empty) executable are written as null (the member is always present).
std::string agent_info_json(const AgentInfo& info, std::string_view executable);

// The reply to one request, and whether it asked the agent to stop (to be
// done once the reply is written).
struct ControlAnswer {
  std::string reply;
  bool stop = false;
};

// The answer to one request line (without its line feed); the reply is
// compact JSON without a line feed. The line is trimmed of Unicode white
// space, parsed, its token compared in constant time with `expected_token`
// before the command is looked at, and the command run with the state lock
// held around the one store call. "info" names `executable`, the running
// agent's file; "stop" is answered {"ok":true}. Out of memory it throws, and
// the server closes the connection without a reply. REQUIRES: `line` is
// valid UTF-8. With a `journal`, a "pair" or "revoke" that passed the token
// check is written to it ("control": the command, the device id of a revoke,
// whether it succeeded; never the code), dated by `clock` (the system's when
// null).
// The journal's event for a command on the control channel (its line
// format: base/journal.h): "command" ("pair", "revoke", "info"), "device"
// (revoke), "ok".
inline constexpr std::string_view CONTROL_EVENT = "control";

ControlAnswer control_reply(std::string_view line, std::string_view expected_token, AgentState& state,
                            std::string_view executable = {}, Journal* journal = nullptr,
                            Clock* clock = nullptr);

}  // namespace zunel
