#pragma once
// What the router does with one accepted connection: it finds who opened it
// and hands it to that user's registered agent. It reads nothing of the
// connection; when nobody can take it, the caller answers it
// (no_agent_answer.h).

#include "base/connection_owner.h"
#include "base/socket_handover.h"
#include "router/agent_registry.h"

namespace zunel {

enum class Routed {
  handed,         // the user's agent has it; the router closes its copy
  unknown_owner,  // the system could not say who opened it: given to nobody
  no_agent,       // its user has no agent registered
  agent_gone,     // the hand-over failed: that agent is removed, the connection given to nobody else
};

Routed route_connection(const AcceptedConnection& connection, NativeSocket socket, ConnectionOwners& owners,
                        AgentRegistry& agents);

}  // namespace zunel
