#include "router/route_connection.h"

#include <variant>

namespace zunel {

Routed route_connection(const AcceptedConnection& connection, NativeSocket socket, ConnectionOwners& owners,
                        AgentRegistry& agents) {
  const ConnectionOwner owner = owners.owner_of(connection);
  const auto* user = std::get_if<PosixUser>(&owner);
  if (user == nullptr) return Routed::unknown_owner;
  auto agent = agents.agent_for(owner);
  if (!agent) return Routed::no_agent;
  if (agent->hand_over(socket).ok()) return Routed::handed;
  agents.remove(user->uid, agent.get());
  return Routed::agent_gone;
}

}  // namespace zunel
