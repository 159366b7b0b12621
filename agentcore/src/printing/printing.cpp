#include "printing/printing.h"

#include <variant>

#include "base/overloaded.h"
#include "printing/serial_channel.h"
#include "printing/spooler_channel.h"
#include "printing/tcp_channel.h"

namespace zunel {

PrintStatus print_to_target(const PrintTarget& target, std::span<const std::uint8_t> bytes,
                            PrintPlatform& platform) {
  // One case per kind and no default: a new kind does not compile until it
  // is given its own channel here.
  return std::visit(
      Overloaded{
          [&](const PrintTarget::Network& t) -> PrintStatus {
            auto connection = open_tcp(platform.network, t.host, t.port, TCP_CONNECT_TIMEOUT);
            if (!connection) return print_error(PrintFailure::Unreachable, fail(connection.error()));
            if (auto sent = send_tcp_job(**connection, bytes); !sent) {
              return write_failed(fail(sent.error()), (*connection)->send_timed_out());
            }
            return {};
          },
          [](const PrintTarget::Usb&) -> PrintStatus {
            return print_error(PrintFailure::UsbUnsupported, fail(USB_UNSUPPORTED));
          },
          [&](const PrintTarget::Serial& t) -> PrintStatus {
            auto line = open_serial(platform.serial_ports, t.port, t.baud);
            if (!line) return print_error(PrintFailure::SerialOpenFailed, fail(line.error()));
            if (auto written = write_serial_job(**line, t.baud, bytes); !written) {
              return write_failed(fail(written.error()), false);
            }
            return {};
          },
          [&](const PrintTarget::WinSpool& t) -> PrintStatus {
            auto sent = send_winspool(platform.spooler, t.printer, bytes);
            if (!sent) return print_error(PrintFailure::Spooler, fail(sent.error()));
            return {};
          },
      },
      target.kind);
}

Outcome<std::vector<PrinterInfo>> list_printers(PrintPlatform& platform) { return platform.printers.list(); }

}  // namespace zunel
