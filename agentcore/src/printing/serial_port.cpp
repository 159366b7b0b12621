#include "printing/serial_port.h"

namespace zunel {

std::string serial_open_error(std::string_view name, std::string_view system_text, bool not_found) {
  std::string text = not_found ? "puerto serie '" : "no se pudo abrir el puerto serie '";
  text.append(name);
  text += not_found ? "' no encontrado: " : "': ";
  text.append(system_text);
  return text;
}

std::string windows_serial_device_name(const std::string& name) {
  if (!name.empty() && name.front() == '\\') return name;
  return "\\\\.\\" + name;
}

}  // namespace zunel
