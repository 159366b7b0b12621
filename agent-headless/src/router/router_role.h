#pragma once
// The router: the role of the executable that an administrator runs for
// every user of a machine. It takes the agent's two ports, and hands each
// connection, unread, to the agent of the user who opened it; a connection
// whose user has no agent registered (or whose user the system cannot
// tell) is answered by the router itself (no_agent_answer.h) and closed.
//
// Agents register on the router's Unix socket (router_channel.h), one at a
// time, each within 2 s: the message (registration.h), the uid from the
// channel's peer credentials, the one-byte reply. A registered agent's
// channel then carries only the handed connections.

#include <ostream>

namespace zunel {

// Runs until the process ends; 1 when the ports or the socket cannot be
// taken (told on `err`).
int run_router(std::ostream& err);

}  // namespace zunel
