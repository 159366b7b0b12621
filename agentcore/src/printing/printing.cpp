#include "printing/printing.h"

#include <variant>

#include "base/overloaded.h"
#include "printing/serial_channel.h"
#include "printing/spooler_channel.h"
#include "printing/tcp_channel.h"

namespace zunel {

Outcome<SentJob, PrintError> send_job(const PrintTarget& target, std::span<const std::uint8_t> bytes,
                                      PrintPlatform& platform, const MonotonicClock& clock) {
  using Result = Outcome<SentJob, PrintError>;
  // One case per kind and no default: a new kind does not compile until it
  // is given its own channel here.
  return std::visit(
      Overloaded{
          [&](const PrintTarget::Network& t) -> Result {
            auto connection = open_tcp(platform.network, t.host, t.port, TCP_CONNECT_TIMEOUT);
            if (!connection) return print_error(PrintFailure::Unreachable, fail(connection.error()));
            if (auto sent = send_tcp_job(**connection, bytes, clock, platform.network_pace); !sent) return write_failed(fail(sent.error()));
            return SentJob(std::move(*connection));
          },
          [](const PrintTarget::Usb&) -> Result {
            return print_error(PrintFailure::UsbUnsupported, fail(USB_UNSUPPORTED));
          },
          [&](const PrintTarget::Serial& t) -> Result {
            auto line = open_serial(platform.serial_ports, t.port, t.baud);
            if (!line) return print_error(PrintFailure::SerialOpenFailed, fail(line.error()));
            if (auto written = write_serial_job(**line, t.baud, bytes, clock); !written) {
              return write_failed(fail(written.error()));
            }
            return SentJob(std::move(*line));
          },
          [&](const PrintTarget::WinSpool& t) -> Result {
            auto job = spool_winspool_job(platform.spooler, t.printer, bytes);
            if (!job) return print_error(PrintFailure::Spooler, fail(job.error()));
            return SentJob(SpooledJobId{*job});
          },
      },
      target.kind);
}

PrintStatus print_to_target(const PrintTarget& target, std::span<const std::uint8_t> bytes, PrintPlatform& platform,
                            const MonotonicClock& clock) {
  auto sent = send_job(target, bytes, platform, clock);
  if (!sent) return sent.error();
  return {};
}

Outcome<std::vector<PrinterInfo>> list_printers(PrintPlatform& platform) { return platform.printers.list(); }

}  // namespace zunel
