#pragma once
// What the HTTP API asks of printing: send a job to its destination, and
// list the spooler's printers.
//
// Neither takes a lock or keeps state between calls; both block the calling
// thread until the job is handed over or has failed (each connection attempt
// up to 5 s; a printer that takes no byte for 5 s fails the job; spooler
// calls as long as the spooler takes).

#include <cstdint>
#include <memory>
#include <span>
#include <variant>
#include <vector>

#include "base/clock.h"
#include "base/outcome.h"
#include "printing/print_error.h"
#include "printing/print_platform.h"
#include "printing/print_target.h"
#include "printing/printer_list.h"

namespace zunel {

// The answer to a "usb" target, for which there is no output channel.
inline constexpr const char* USB_UNSUPPORTED =
    "USB directo (libusb) no está soportado en Windows; usa el destino de impresora del sistema (WinSpool).";

// A job handed to its printer, with what stays open for a confirmation: the
// network printer's connection, the serial line, or the spooler's job id.
struct SpooledJobId {
  std::uint32_t id = 0;
};
using SentJob = std::variant<std::unique_ptr<TcpConnection>, std::unique_ptr<SerialLine>, SpooledJobId>;

// Sends `bytes` through the channel of the target's kind: one attempt, no
// retry, no fallback, nothing added before or after the bytes. The error
// text is the channel's, meant to be shown to the ERP user unchanged; its
// class is the step that failed (see PrintFailure). The one way a job is
// sent, confirmed or not.
[[nodiscard]] Outcome<SentJob, PrintError> send_job(const PrintTarget& target, std::span<const std::uint8_t> bytes,
                                                    PrintPlatform& platform, const MonotonicClock& clock);

// send_job(), its channel closed at once.
[[nodiscard]] PrintStatus print_to_target(const PrintTarget& target, std::span<const std::uint8_t> bytes,
                                          PrintPlatform& platform,
                                          const MonotonicClock& clock = system_monotonic_clock());

// The spooler's printers, in its order.
[[nodiscard]] Outcome<std::vector<PrinterInfo>> list_printers(PrintPlatform& platform);

}  // namespace zunel
