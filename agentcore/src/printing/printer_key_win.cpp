#include <winsock2.h>
#include <ws2tcpip.h>
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

std::optional<std::string> numeric_host_text(const std::string& host) {
  // The parser needs Winsock started; it stays started for the process.
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started || host.empty() || host.find('\0') != std::string::npos) return std::nullopt;
  const std::u16string wide = utf8_to_utf16(host);
  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_flags = AI_NUMERICHOST;
  ADDRINFOW* list = nullptr;
  if (::GetAddrInfoW(reinterpret_cast<const wchar_t*>(wide.c_str()), nullptr, &hints, &list) != 0 ||
      list == nullptr) {
    return std::nullopt;
  }
  wchar_t text[NI_MAXHOST];
  const int rc = ::GetNameInfoW(list->ai_addr, static_cast<socklen_t>(list->ai_addrlen), text, NI_MAXHOST, nullptr,
                                0, NI_NUMERICHOST);
  ::FreeAddrInfoW(list);
  if (rc != 0) return std::nullopt;
  return utf16_to_utf8(std::u16string(reinterpret_cast<const char16_t*>(text)));
}

}  // namespace zunel
