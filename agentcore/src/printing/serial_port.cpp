#include "printing/serial_port.h"

namespace zunel {

std::string windows_serial_device_name(const std::string& name) {
  if (!name.empty() && name.front() == '\\') return name;
  return "\\\\.\\" + name;
}

}  // namespace zunel
