#pragma once
// The running agent as this user's control channel shows it, for the
// installer and `status` (service/running_agent.h): who it belongs to, its
// version and executable file, and its stop.

#include <boost/json/value.hpp>

#include "control/control_commands.h"
#include "service/running_agent.h"

namespace zunel {

// Asks "info" with this user's token: this user's agent (its version and
// executable; the whole "info" member into `info` when given), another
// user's (the token is refused, or this user has none), nobody (nothing on
// the control port) or unknown (the channel failed or answered otherwise).
AgentIdentity identify_agent(const ControlLink& link, boost::json::value* info = nullptr);

class ControlChannelAgent final : public RunningAgent {
 public:
  explicit ControlChannelAgent(ControlLink link) : link_(std::move(link)) {}
  AgentIdentity identify() override { return identify_agent(link_); }
  Status stop() override;

 private:
  ControlLink link_;
};

}  // namespace zunel
