#include "service/autostart_platform.h"

namespace zunel {

AutostartPlatform system_autostart_platform(RunningAgent& agent) {
  return {system_startup_entry(), system_file_system(), system_processes(),
          system_agent_probe(),   system_port_binder(), system_sleeper(), agent};
}

}  // namespace zunel
