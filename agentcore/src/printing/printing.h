#pragma once
// What the HTTP API asks of printing: send a job to its destination, and
// list the spooler's printers.
//
// Neither takes a lock or keeps state between calls; both block the calling
// thread until the job is handed over or has failed (each connection attempt
// up to 5 s, each send or serial write up to 5 s, spooler calls as long as
// the spooler takes).

#include <cstdint>
#include <span>
#include <vector>

#include "base/outcome.h"
#include "printing/print_error.h"
#include "printing/print_platform.h"
#include "printing/print_target.h"
#include "printing/printer_list.h"

namespace zunel {

// The answer to a "usb" target, for which there is no output channel.
inline constexpr const char* USB_UNSUPPORTED =
    "USB directo (libusb) no está soportado en Windows; usa el destino de impresora del sistema (WinSpool).";

// Sends `bytes` through the channel of the target's kind: one attempt, no
// retry, no fallback, nothing added before or after the bytes. The error
// text is the channel's, meant to be shown to the ERP user unchanged; its
// class is the step that failed (see PrintFailure).
[[nodiscard]] PrintStatus print_to_target(const PrintTarget& target, std::span<const std::uint8_t> bytes,
                                     PrintPlatform& platform);

// The spooler's printers, in its order.
[[nodiscard]] Outcome<std::vector<PrinterInfo>> list_printers(PrintPlatform& platform);

}  // namespace zunel
