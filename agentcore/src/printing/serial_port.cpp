#include "printing/serial_port.h"

#include <algorithm>
#include <string_view>

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

namespace {

// A number without leading zeros, as device names are written.
bool device_number(std::string_view text) {
  if (text.empty() || text.size() > 5 || text.front() == '0') return false;
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

bool windows_serial_port_name(const std::string& name) {
  std::string_view rest = name;
  if (starts_with(rest, "\\\\.\\") || starts_with(rest, "\\\\?\\")) rest.remove_prefix(4);
  if (rest.size() < 4) return false;
  for (std::size_t i = 0; i < 3; ++i) {
    if ((rest[i] | 0x20) != "com"[i]) return false;
  }
  return device_number(rest.substr(3));
}

bool linux_serial_port_name(const std::string& name) {
  std::string_view path = name;
  for (std::string_view family : {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM", "/dev/ttyAMA", "/dev/rfcomm"}) {
    if (starts_with(path, family)) {
      const std::string_view number = path.substr(family.size());
      return number == "0" || device_number(number);
    }
  }
  for (std::string_view folder : {"/dev/serial/by-id/", "/dev/serial/by-path/"}) {
    if (starts_with(path, folder)) {
      const std::string_view link = path.substr(folder.size());
      return !link.empty() && link != "." && link != ".." && link.find('/') == std::string_view::npos &&
             link.find('\0') == std::string_view::npos;
    }
  }
  return false;
}

}  // namespace zunel
