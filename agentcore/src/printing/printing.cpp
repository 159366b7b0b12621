#include "printing/printing.h"

#include <variant>

#include "printing/serial_channel.h"
#include "printing/spooler_channel.h"
#include "printing/tcp_channel.h"

namespace zunel {
namespace {

// A visitor made of one lambda per alternative.
template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace

Status print_to_target(const PrintTarget& target, std::span<const std::uint8_t> bytes, PrintPlatform& platform) {
  // One case per kind and no default: a new kind does not compile until it
  // is given its own channel here.
  return std::visit(
      Overloaded{
          [&](const PrintTarget::Network& t) -> Status { return send_tcp(platform.network, t.host, t.port, bytes); },
          [](const PrintTarget::Usb&) -> Status { return fail(USB_UNSUPPORTED); },
          [&](const PrintTarget::Serial& t) -> Status {
            return send_serial(platform.serial_ports, t.port, t.baud, bytes);
          },
          [&](const PrintTarget::WinSpool& t) -> Status { return send_winspool(platform.spooler, t.printer, bytes); },
      },
      target.kind);
}

Outcome<std::vector<PrinterInfo>> list_printers(PrintPlatform& platform) { return platform.printers.list(); }

}  // namespace zunel
