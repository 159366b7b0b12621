#pragma once
// The snapshot of the agent and its devices, without secrets, that the
// control channel's "info" reply shows (control/control_protocol writes it).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "security/agent_state.h"

namespace zunel {

// A device without its token and its user subject. Built with designated
// initializers, like Device.
struct DeviceInfo {
  std::string id;
  std::string origin;
  std::string label;
  std::uint64_t created = 0;
  DeviceSource source = DeviceSource::Code;
  std::optional<std::string> negocio_id;
  std::optional<std::uint64_t> expira;
};

struct AgentInfo {
  std::string id;
  std::uint16_t port = 0;
  std::string version;
  std::string build;  // the build's identity (base/build_config.h)
  std::vector<DeviceInfo> devices;  // sorted by created, ties in store order
  std::optional<std::string> pairing_code;  // only while still valid
};

}  // namespace zunel
