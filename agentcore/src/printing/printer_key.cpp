#include "printing/printer_key.h"

#include <type_traits>

namespace zunel {
namespace {

std::string host_key(const std::string& host) {
  if (std::optional<std::string> address = numeric_host_text(host)) return *address;
  std::string name = host;
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  // The hosts file's rule, never a lookup.
  if (name == "localhost" || name == "localhost.") return "127.0.0.1";
  return name;
}

}  // namespace

std::optional<std::string> printer_key(const PrintTarget& target) {
  return std::visit(
      [](const auto& t) -> std::optional<std::string> {
        using T = std::decay_t<decltype(t)>;
        if constexpr (std::is_same_v<T, PrintTarget::Network>) {
          // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on a
          // literal added before a temporary string.
          std::string key = "tcp:";
          key += host_key(t.host);
          key += ':';
          key += std::to_string(t.port);
          return key;
        } else if constexpr (std::is_same_v<T, PrintTarget::Serial>) {
          return "serial:" + serial_port_key(t.port);
        } else if constexpr (std::is_same_v<T, PrintTarget::WinSpool>) {
          return "spooler:" + spooler_printer_key(t.printer);
        } else {
          static_assert(std::is_same_v<T, PrintTarget::Usb>, "every kind of target has its key");
          return std::nullopt;
        }
      },
      target.kind);
}

}  // namespace zunel
