#pragma once
// The snapshot of the agent and its devices, without secrets: the control
// channel's "info" reply and the ping endpoint read it.

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
  std::vector<DeviceInfo> devices;  // sorted by created, ties in store order
  std::optional<std::string> pairing_code;  // only while still valid
};

// Compact JSON with the members in declaration order; absent optionals are
// written as null (the member is always present).
std::string agent_info_json(const AgentInfo& info);

}  // namespace zunel
