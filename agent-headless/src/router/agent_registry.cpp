#include "router/agent_registry.h"

#include <variant>

namespace zunel {

Registration AgentRegistry::add(std::uint32_t uid, std::shared_ptr<AgentLink> link) {
  auto found = agents_.find(uid);
  if (found == agents_.end()) {
    agents_.emplace(uid, std::move(link));
    return Registration::accepted;
  }
  if (found->second->alive()) return Registration::refused_live;
  found->second = std::move(link);
  return Registration::replaced_closed;
}

void AgentRegistry::remove(std::uint32_t uid, const AgentLink* link) {
  auto found = agents_.find(uid);
  if (found != agents_.end() && found->second.get() == link) agents_.erase(found);
}

std::shared_ptr<AgentLink> AgentRegistry::agent_for(const ConnectionOwner& owner) const {
  const auto* user = std::get_if<PosixUser>(&owner);
  if (user == nullptr) return nullptr;
  auto found = agents_.find(user->uid);
  if (found == agents_.end()) return nullptr;
  return found->second;
}

}  // namespace zunel
