#pragma once
// `run`: the agent itself. Prepares the data directory, takes the HTTP and
// control ports, and only then writes a fresh control token (a `run` that
// cannot take the HTTP port leaves a running agent's token alone); loads the
// shared state, starts the control channel, prints the banner and serves
// HTTP on the calling thread until the process ends.

namespace zunel {

// Returns 1 for a start-up failure, 0 when the HTTP server's request stream
// ends.
int run_agent();

}  // namespace zunel
