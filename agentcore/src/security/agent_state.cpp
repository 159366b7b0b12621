#include "security/agent_state.h"

#include <iostream>

namespace zunel {

const char* device_source_name(DeviceSource source) {
  return source == DeviceSource::Auto ? "auto" : "code";
}

StateServices system_state_services() { return StateServices{system_clock(), system_random(), std::cerr}; }

}  // namespace zunel
