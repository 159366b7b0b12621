#pragma once
// A status query on a connected printer, in the printer's own language.

#include <chrono>

#include "base/clock.h"
#include "printing/printer_protocol.h"
#include "printing/status/printer_status.h"
#include "printing/status/status_channel.h"

namespace zunel {

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

}  // namespace zunel
