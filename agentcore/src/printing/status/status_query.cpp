#include "printing/status/status_query.h"

#include <memory>

#include "base/overloaded.h"
#include "printing/printing.h"
#include "printing/spooler_printer.h"
#include "printing/status/cups_status.h"
#include "printing/status/device_query.h"
#include "printing/status/status_channel.h"
#include "printing/status/winspool_status.h"

namespace zunel {
namespace {

using std::chrono::milliseconds;

PrinterStatus unreachable(StatusSource source, const MonotonicClock& clock, milliseconds start) {
  PrinterStatus status;
  status.source = source;
  status.online = false;
  status.elapsed_ms = elapsed_ms_since(clock, start);
  return status;
}

}  // namespace

PrinterStatus query_tcp_status(TcpNetwork& network, const std::string& host, std::uint16_t port,
                               StatusProtocol protocol, milliseconds timeout, const MonotonicClock& clock,
                               milliseconds connect_timeout) {
  const milliseconds start = clock.now();
  auto connection = open_tcp(network, host, port, connect_timeout);
  if (!connection) return unreachable(StatusSource::Device, clock, start);
  PrinterStatus status;
  status.reachable = true;
  // Its sends bounded by the query's time-out as well.
  status = query_device_status(*tcp_status_channel(**connection, clock, timeout), protocol, timeout, clock);
  status.elapsed_ms = elapsed_ms_since(clock, start);
  return status;
}

PrinterStatus query_serial_status(SerialPorts& ports, const std::string& port, std::uint32_t baud,
                                  StatusProtocol protocol, milliseconds timeout, const MonotonicClock& clock) {
  const milliseconds start = clock.now();
  SerialSettings settings;
  settings.baud_rate = baud;
  auto line = ports.open(port, settings);
  if (!line) return unreachable(StatusSource::Device, clock, start);
  PrinterStatus status = query_device_status(*serial_status_channel(**line, clock, timeout), protocol, timeout, clock);
  status.elapsed_ms = elapsed_ms_since(clock, start);
  return status;
}

PrinterStatus query_spooler_status(Spooler& spooler, const std::string& printer, const MonotonicClock& clock) {
  const milliseconds start = clock.now();
  const SpoolerPrinter opened(spooler, printer);
  if (!opened.is_open()) return unreachable(StatusSource::Spooler, clock, start);
  PrinterStatus status;
  status.source = StatusSource::Spooler;
  status.reachable = true;
  SpoolerPrinterReport report;
  if (spooler.get_printer(opened.handle(), report)) {
    status.answered = true;
    std::visit(Overloaded{
                   [&](const WinspoolPrinterReport& win) { apply_winspool_report(win, status); },
                   [&](const CupsPrinterReport& cups) { apply_cups_report(cups, status); },
               },
               report);
  }
  status.elapsed_ms = elapsed_ms_since(clock, start);
  return status;
}

Outcome<PrinterStatus> query_printer_status(const StatusRequest& request, PrintPlatform& platform,
                                            const MonotonicClock& clock) {
  const auto protocol_missing = [] { return Outcome<PrinterStatus>(fail("protocol required")); };
  return std::visit(
      Overloaded{
          [&](const PrintTarget::Network& t) -> Outcome<PrinterStatus> {
            if (!request.protocol) return protocol_missing();
            return query_tcp_status(platform.network, t.host, t.port, *request.protocol, request.timeout, clock);
          },
          [](const PrintTarget::Usb&) -> Outcome<PrinterStatus> { return fail(USB_UNSUPPORTED); },
          [&](const PrintTarget::Serial& t) -> Outcome<PrinterStatus> {
            if (!request.protocol) return protocol_missing();
            return query_serial_status(platform.serial_ports, t.port, t.baud, *request.protocol, request.timeout,
                                       clock);
          },
          [&](const PrintTarget::WinSpool& t) -> Outcome<PrinterStatus> {
            return query_spooler_status(platform.spooler, t.printer, clock);
          },
      },
      request.target.kind);
}

}  // namespace zunel
