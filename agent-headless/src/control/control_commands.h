#pragma once
// The `pair`, `list`/`info`, `revoke <id>` and `stop` commands: build the
// request, send it to the running agent, print the reply as the person at
// the terminal sees it, and give the exit code.

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

#include "base/outcome.h"

namespace zunel {

enum class ControlCommand { Pair, Info, Revoke, Stop };

inline constexpr const char* AGENT_STOPPED = "Agente detenido.";
inline constexpr const char* AGENT_NOT_RUNNING = "El agente no está corriendo.";

// The request as compact JSON with its keys in ascending byte order, without
// a line feed: {"cmd":…,"id":…,"token":…}; `id` is sent for revoke only.
std::string control_request_line(ControlCommand command, std::string_view token,
                                 std::string_view id = {});

// Prints the reply line and returns the exit code: 0 when it is an object
// whose "ok" is true (pair: the code lines, transliterated; info: the "info"
// member as indented JSON with sorted keys; revoke: "Dispositivo revocado.";
// stop: "Agente detenido."), else 1 on `err`: OTHER_USERS_AGENT when the
// agent refused the token, else "Error: " and the reply's "error" text, or
// "desconocido".
int print_control_reply(ControlCommand command, std::string_view reply_line, std::ostream& out,
                        std::ostream& err);

// Sends one request line; the reply line or an error text to show as is.
using ControlSender = std::function<Outcome<std::string>(const std::string& request_line)>;

// This user's way to the running agent.
struct ControlLink {
  Outcome<std::string> token;  // this user's control token, or why it could not be read
  ControlSender send;
  // Whether the agent (or something that answers as it does) answers ping on
  // the HTTP port: told apart from nobody when the control channel fails.
  std::function<bool()> agent_answers_ping;
  std::function<void(std::chrono::milliseconds)> sleep;
};

// The whole command. Without a token, or when the agent refuses it, an
// agent that answers ping is another user's (OTHER_USERS_AGENT); without a
// token and nothing answering, the token's message (stop: "El agente no está
// corriendo."), and nothing is sent. A failed send is reported with its text.
int run_control_command(ControlCommand command, std::string_view id, const ControlLink& link,
                        std::ostream& out, std::ostream& err);

enum class StopResult { Stopped, NotRunning, OtherUsersAgent, Failed };
struct StopOutcome {
  StopResult result = StopResult::Failed;
  std::string text;  // for Failed: what went wrong
};

// Asks this user's agent to stop and waits, up to `wait`, for it to end (its
// control channel closes with the process; the agent itself gives running
// jobs 10 s).
StopOutcome stop_agent(const ControlLink& link,
                       std::chrono::milliseconds wait = std::chrono::seconds(15));

}  // namespace zunel
