#include "printing/printing.h"

#include <type_traits>
#include <variant>

#include "printing/serial_channel.h"
#include "printing/spooler_channel.h"
#include "printing/tcp_channel.h"

namespace zunel {

Status print_to_target(const PrintTarget& target, std::span<const std::uint8_t> bytes, PrintPlatform& platform) {
  return std::visit(
      [&](const auto& t) -> Status {
        using T = std::decay_t<decltype(t)>;
        if constexpr (std::is_same_v<T, PrintTarget::Network>) {
          return send_tcp(platform.network, t.host, t.port, bytes);
        } else if constexpr (std::is_same_v<T, PrintTarget::Usb>) {
          return fail(USB_UNSUPPORTED);
        } else if constexpr (std::is_same_v<T, PrintTarget::Serial>) {
          return send_serial(platform.serial_ports, t.port, t.baud, bytes);
        } else {
          return send_winspool(platform.spooler, t.printer, bytes);
        }
      },
      target.kind);
}

Outcome<std::vector<PrinterInfo>> list_printers(PrintPlatform& platform) { return platform.printers.list(); }

}  // namespace zunel
