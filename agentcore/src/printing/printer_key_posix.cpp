#include "printing/printer_key.h"

#include <netdb.h>
#include <sys/socket.h>

namespace zunel {

// Device paths and CUPS queue names are compared exactly.
std::string serial_port_key(const std::string& port) { return port; }
std::string spooler_printer_key(const std::string& printer) { return printer; }

std::optional<std::string> numeric_host_text(const std::string& host) {
  if (host.empty() || host.find('\0') != std::string::npos) return std::nullopt;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* list = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || list == nullptr) return std::nullopt;
  char text[NI_MAXHOST];
  const int rc = ::getnameinfo(list->ai_addr, list->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
  ::freeaddrinfo(list);
  if (rc != 0) return std::nullopt;
  return std::string(text);
}

}  // namespace zunel
