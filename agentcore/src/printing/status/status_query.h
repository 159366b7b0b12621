#pragma once
// Status queries: ask a printer (raw TCP, serial) in its own language, or
// its spooler queue, and report what came back.
//
// Like printing, these take no lock and keep no state between calls, and
// block the calling thread: a TCP connect up to the channel's connect
// time-out, then the query's own time-out for everything else (each serial
// write is bounded by it too). The caller keeps them out of a printer's
// jobs: a query never opens a second connection to a printer that prints.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/outcome.h"
#include "printing/print_platform.h"
#include "printing/print_target.h"
#include "printing/printer_status.h"
#include "printing/tcp_channel.h"

namespace zunel {

// The most bytes a query keeps of what a printer sends; the rest is not read.
inline constexpr std::size_t STATUS_MAX_INPUT = 4096;

// A status request: where, in which language (needed for network and
// serial targets, not used for the others), and how long to wait.
struct StatusRequest {
  PrintTarget target;
  std::optional<StatusProtocol> protocol;
  std::chrono::milliseconds timeout{1500};
  bool operator==(const StatusRequest&) const = default;
};

// A connected printer as a device query uses it.
class StatusChannel {
 public:
  virtual ~StatusChannel() = default;
  // Sends all of `bytes`, bounded by the channel's own write bound.
  [[nodiscard]] virtual Status send(std::span<const std::uint8_t> bytes) = 0;
  // As TcpConnection::receive_some: the count taken, 0 on time-out.
  [[nodiscard]] virtual Outcome<std::size_t> receive(std::uint8_t* buffer, std::size_t size,
                                                     std::chrono::milliseconds timeout) = 0;
  // Throws away input that arrived before the query (replies to earlier
  // queries, automatic status).
  [[nodiscard]] virtual Status discard_input(const MonotonicClock& clock, std::chrono::milliseconds deadline) = 0;
};

// The status channels of a printer connected by raw TCP and by a serial
// line (discarding input purges the line); each uses what it is given and
// must not outlive it.
std::unique_ptr<StatusChannel> tcp_status_channel(TcpConnection& connection);
std::unique_ptr<StatusChannel> serial_status_channel(SerialLine& line);

// Reads what comes until `done(byte)` says enough (it sees each byte as it
// is added) or `deadline` passes, adding every byte to `raw` up to
// STATUS_MAX_INPUT. False when the channel failed (nothing more will come).
template <typename Done>
bool read_until(StatusChannel& channel, const MonotonicClock& clock, std::chrono::milliseconds deadline,
                std::vector<std::uint8_t>& raw, Done done) {
  std::array<std::uint8_t, 256> buffer;
  for (;;) {
    const std::chrono::milliseconds left = deadline - clock.now();
    const std::size_t room = STATUS_MAX_INPUT - raw.size();
    if (left.count() <= 0 || room == 0) return true;
    auto got = channel.receive(buffer.data(), std::min(buffer.size(), room), left);
    if (!got) return false;
    if (*got == 0) return true;
    for (std::size_t i = 0; i < *got; ++i) {
      raw.push_back(buffer[i]);
      if (done(buffer[i])) return true;
    }
  }
}

// The exchange on a connected printer, within `timeout` of the call:
//   ESC/POS: DLE EOT 1, 2, 3, 4 one at a time, each after the reply to the
//     one before (a printer silent to one is asked nothing more); answered
//     only when each is answered by one valid reply byte, the first byte
//     after it (XON, XOFF and automatic status frames aside) and nothing
//     else is waiting after the fourth;
//   Star: ESC ACK SOH; answered when its status block is the first thing
//     that comes;
//   ZPL: ~HQES, then ~HS (unless ~HQES reports media out, ribbon out, head
//     open or an overheated head, when the printer does not answer it);
//     answered when ~HQES gives its error flags and ~HS, when asked, its
//     three lines.
// Stale input is discarded first. Noise, a service's banner or a flood is
// no answer, and ends the exchange as soon as it is seen. The result is
// source "device", reachable, answered as above, and only when answered
// the fields the replies tell and `raw`: the replies alone (ESC/POS the
// four bytes; Star the block; ZPL the frames, STX and ETX included);
// elapsed_ms from the call.
PrinterStatus query_device_status(StatusChannel& channel, StatusProtocol protocol, std::chrono::milliseconds timeout,
                                  const MonotonicClock& clock);

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
