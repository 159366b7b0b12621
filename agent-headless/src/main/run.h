#pragma once
// `run`: the agent itself. Prepares the data directory and the control token,
// loads the shared state, opens the control channel, prints the banner and
// serves HTTP on the calling thread until the process ends.

namespace zunel {

// Returns 1 for a start-up failure, 0 when the HTTP server's request stream
// ends.
int run_agent();

}  // namespace zunel
