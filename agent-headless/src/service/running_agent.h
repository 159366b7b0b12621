#pragma once
// The agent that answers on this machine, as this user's control channel
// sees it. A running agent answers its control channel only to the token of
// the user who started it, so an agent that answers ping but refuses this
// user's token (or that answers while this user has no token at all) is
// another Windows user's: one user at a time can print through the agent on
// a machine. Implemented over the control channel (control/control_agent).

#include <string>

#include "base/outcome.h"

namespace zunel {

// What `status` says when the agent that answers is another user's.
inline constexpr const char* STATUS_OTHER_USERS_AGENT =
    "corriendo, pero es el agente de otro usuario de Windows: este usuario no puede imprimir "
    "mientras tanto";

// What the control commands say when the agent that answers is another user's.
inline constexpr const char* OTHER_USERS_AGENT =
    "El agente que corre en esta PC es el de otro usuario de Windows: este usuario no puede "
    "imprimir mientras tanto. Ese usuario puede detenerlo con 'zunel-print-agent stop' (o cerrar "
    "su sesión); después ejecutá 'zunel-print-agent install' con este usuario.";

enum class AgentOwner {
  ThisUser,   // it accepted this user's token
  OtherUser,  // it refused this user's token, or this user has none
  Unknown,    // its control channel did not answer as an agent's does
  Nobody,     // nothing takes connections on the control port
};

struct AgentIdentity {
  AgentOwner owner = AgentOwner::Unknown;
  std::string version;     // ThisUser: the version it reports
  std::string executable;  // ThisUser: its executable file; empty when it did not say
  std::string detail;      // OtherUser, Unknown: what was seen, tersely, for support
  std::string build{};     // ThisUser: the build it reports; empty from an older agent
};

class RunningAgent {
 public:
  virtual ~RunningAgent() = default;
  // Asks the agent on the control port who it is, with this user's token.
  // Only meaningful while something answers ping on the HTTP port.
  virtual AgentIdentity identify() = 0;
  // Asks this user's agent to stop, as `stop` does, and waits until it has
  // ended; the reason when it did not.
  virtual Status stop() = 0;
};

}  // namespace zunel
