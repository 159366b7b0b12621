#pragma once
// Constants built into the agent. There is no configuration file.

#include <cstdint>
#include <string_view>

namespace zunel {

inline constexpr std::string_view AGENT_VERSION = "1.0.1";
inline constexpr std::uint16_t HTTP_PORT = 47631;
inline constexpr std::uint16_t CONTROL_PORT = 47632;
inline constexpr std::string_view COMMAND_NAME = "zunel-print-agent";

}  // namespace zunel
