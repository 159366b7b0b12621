#pragma once
// `run`: the agent itself. Prepares the data directory, takes the HTTP and
// control ports, and only then writes a fresh control token (a `run` that
// cannot take the HTTP port leaves a running agent's token alone); loads the
// shared state, starts the control channel, prints the banner and serves
// HTTP on the calling thread until `stop` asks it to end.

#include <chrono>
#include <string_view>

namespace zunel {

// How long a stopping agent lets the jobs that have started finish.
inline constexpr std::chrono::seconds STOP_GRACE{10};

// Runs the agent that reports `version`. Returns 1 for a start-up failure,
// 0 once it has stopped.
// The journal's events of the agent's start and stop (their line format:
// base/journal.h): "version", "build", "pid", "http_port", "control_port".
inline constexpr std::string_view AGENT_START_EVENT = "agent_start";
inline constexpr std::string_view AGENT_STOP_EVENT = "agent_stop";

int run_agent(std::string_view version);

}  // namespace zunel
