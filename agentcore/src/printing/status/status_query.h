#pragma once
// Status queries: ask a printer (raw TCP, serial) in its own language, or
// its spooler queue, and report what came back.
//
// Like printing, these take no lock and keep no state between calls, and
// block the calling thread: a TCP connect up to the channel's connect
// time-out, then the query's own time-out for everything else (each serial
// write is bounded by it too). The caller keeps them out of a printer's
// jobs: a query never opens a second connection to a printer that prints.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "base/clock.h"
#include "base/outcome.h"
#include "printing/print_platform.h"
#include "printing/print_target.h"
#include "printing/printer_protocol.h"
#include "printing/status/printer_status.h"
#include "printing/tcp_channel.h"

namespace zunel {

// A status query's time-out when the page names none: ESC/POS's four
// one-byte replies and Star's block come at once; ZPL's ~HQES and ~HS answer
// with three lines more.
inline constexpr std::chrono::milliseconds STATUS_DEFAULT_TIMEOUT{1500};
inline constexpr std::chrono::milliseconds STATUS_DEFAULT_ZPL_TIMEOUT{2000};

// The default time-out of a query in `protocol` (none: a spooler's queue).
constexpr std::chrono::milliseconds default_status_timeout(std::optional<StatusProtocol> protocol) {
  return protocol == StatusProtocol::Zpl ? STATUS_DEFAULT_ZPL_TIMEOUT : STATUS_DEFAULT_TIMEOUT;
}

// A status request: where, in which language (needed for targets the agent
// speaks to directly, not used for the others), and how long to wait.
struct StatusRequest {
  PrintTarget target;
  std::optional<StatusProtocol> protocol;
  std::chrono::milliseconds timeout = STATUS_DEFAULT_TIMEOUT;
  bool operator==(const StatusRequest&) const = default;
};

// host:port over raw TCP: resolved and connected as a print job is (the
// addresses in turn, each within `connect_timeout`), then the exchange.
// No connection: reachable false and online false.
PrinterStatus query_tcp_status(TcpNetwork& network, const std::string& host, std::uint16_t port,
                               StatusProtocol protocol, std::chrono::milliseconds timeout,
                               const MonotonicClock& clock,
                               std::chrono::milliseconds connect_timeout = TCP_CONNECT_TIMEOUT);

// A serial port with the print job's line settings, each write bounded by
// `timeout`, input purged first. A port that does not open: reachable false
// and online false.
PrinterStatus query_serial_status(SerialPorts& ports, const std::string& port, std::uint32_t baud,
                                  StatusProtocol protocol, std::chrono::milliseconds timeout,
                                  const MonotonicClock& clock);

// A spooler printer: source "spooler"; a printer the spooler does not open
// is reachable false and online false; one it opens but cannot report on is
// reachable and not answered; otherwise the report mapped as
// apply_winspool_report or apply_cups_report say.
PrinterStatus query_spooler_status(Spooler& spooler, const std::string& printer, const MonotonicClock& clock);

// The query of the request's target kind. Errors: USB_UNSUPPORTED for a
// "usb" target, as print answers it; "protocol required" for a network or
// serial target without one (the body reader refuses those first).
[[nodiscard]] Outcome<PrinterStatus> query_printer_status(const StatusRequest& request, PrintPlatform& platform,
                                                          const MonotonicClock& clock = system_monotonic_clock());

}  // namespace zunel
