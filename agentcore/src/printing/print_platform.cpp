#include "printing/print_platform.h"

namespace zunel {

PrintPlatform& system_print_platform() {
  static PrintPlatform platform{system_tcp_network(), system_serial_ports(), system_spooler(),
                                system_printer_directory()};
  return platform;
}

}  // namespace zunel
