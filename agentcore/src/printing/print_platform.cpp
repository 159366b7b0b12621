#include "printing/print_platform.h"

#include <cstdlib>

#include "base/build_config.h"

namespace zunel {
namespace {

PaceFloor network_pace_floor() {
  if (test_hooks_enabled()) {
    const char* scale = std::getenv("ZUNEL_TEST_PACE_SCALE");
    const int n = scale != nullptr ? std::atoi(scale) : 0;
    if (n >= 2 && n <= 100) {
      return {TCP_PACE_FLOOR.bytes_per_second * static_cast<std::size_t>(n), TCP_PACE_FLOOR.window / n};
    }
  }
  return TCP_PACE_FLOOR;
}

}  // namespace

PrintPlatform& system_print_platform() {
  static PrintPlatform platform{system_tcp_network(), system_serial_ports(), system_spooler(),
                                system_printer_directory(), network_pace_floor()};
  return platform;
}

}  // namespace zunel
