#pragma once
// The agents registered with the router: at most one per user (uid), each
// reached through its own channel. Used on the router's one I/O thread; it
// takes no lock.
//
// Never two agents for one user: a second registration for a uid replaces
// the first only when the first's channel is closed (its agent stopped or
// crashed and the router has not read the hang-up yet); while the first is
// alive the second is refused, whatever their versions. A registration
// that ends is removed only by its own link, so a late hang-up of an
// earlier agent never removes the one that replaced it.

#include <cstdint>
#include <map>
#include <memory>

#include "base/connection_owner.h"
#include "base/outcome.h"
#include "base/socket_handover.h"

namespace zunel {

// One registered agent's channel.
class AgentLink {
 public:
  virtual ~AgentLink() = default;
  // Whether the agent's end of the channel is still open; reads nothing.
  virtual bool alive() = 0;
  // Hands `socket` to the agent; the caller closes its own copy after.
  [[nodiscard]] virtual Status hand_over(NativeSocket socket) = 0;
};

enum class Registration { accepted, replaced_closed, refused_live };

class AgentRegistry {
 public:
  // `uid` is the one the channel's peer credentials gave.
  Registration add(std::uint32_t uid, std::shared_ptr<AgentLink> link);

  // Removes `link` if it is still the registration of `uid`.
  void remove(std::uint32_t uid, const AgentLink* link);

  // The agent of the user who opened a connection: only a known POSIX
  // user's registered agent; nobody for an unknown owner.
  std::shared_ptr<AgentLink> agent_for(const ConnectionOwner& owner) const;

  bool registered(std::uint32_t uid) const { return agents_.contains(uid); }

 private:
  std::map<std::uint32_t, std::shared_ptr<AgentLink>> agents_;
};

}  // namespace zunel
