#include "service/autostart_platform.h"

#include <cctype>

#include "base/constants.h"

namespace zunel {

bool is_product_executable(const std::filesystem::path& file) {
  const auto u8 = file.filename().u8string();
  std::string name(u8.begin(), u8.end());
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name.starts_with(COMMAND_NAME);
}

AutostartPlatform system_autostart_platform(RunningAgent& agent) {
  return {system_startup_entry(), system_file_system(), system_processes(),
          system_agent_probe(),   system_port_binder(), system_sleeper(), agent};
}

}  // namespace zunel
