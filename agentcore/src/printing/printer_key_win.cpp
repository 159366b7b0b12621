#include <windows.h>

#include "base/utf8.h"
#include "printing/printer_key.h"
#include "printing/serial_port.h"

namespace zunel {
namespace {

// Upper case as Windows folds names that it compares without case.
std::string upper_case(const std::string& text) {
  std::u16string wide = utf8_to_utf16(text);
  if (!wide.empty()) {
    ::CharUpperBuffW(reinterpret_cast<wchar_t*>(wide.data()), static_cast<DWORD>(wide.size()));
  }
  return utf16_to_utf8(wide);
}

}  // namespace

std::string serial_port_key(const std::string& port) {
  return upper_case(windows_serial_device_name(port));
}

std::string spooler_printer_key(const std::string& printer) { return upper_case(printer); }

}  // namespace zunel
