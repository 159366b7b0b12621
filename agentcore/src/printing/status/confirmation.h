#pragma once
// A print job with the printer's word on it: the job is sent as print_to_target
// sends it, then, on the same connection, the printer (or the spooler) is
// asked whether the job printed, for at most the page's time-out.
//
// Blocks the calling thread for the job, then up to the confirmation's
// time-out, then (when the printer said nothing) up to a status query's
// default time-out. The caller holds the printer's lane for all of it, so
// nothing else reaches the printer in between. Takes no lock, keeps no state.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "base/clock.h"
#include "base/outcome.h"
#include "base/random_source.h"
#include "printing/print_error.h"
#include "printing/print_platform.h"
#include "printing/print_target.h"
#include "printing/printer_protocol.h"
#include "printing/spooler.h"
#include "printing/status/printer_status.h"
#include "printing/status/status_channel.h"

namespace zunel {

// What can honestly be said of a delivered job:
//   Printed       the printer said the job's data finished printing
//                 (ESC/POS GS ( H fn 48; ZPL ~HS with nothing waiting and
//                 ~HQES clean);
//   Processed     the printer processed every byte and can say no more
//                 (ESC/POS GS r 1 answered, GS ( H not);
//   Transmitted   the spooler handed the job on to the printer (CUPS job
//                 completed; Windows job printed or gone from the queue);
//   Spooled       the spooler still holds the job;
//   NotConfirmed  nothing of the above within the time-out.
// Never Printed for a spooler, whose "done" means handed to the port.
enum class Confirmed { Printed, Processed, Transmitted, Spooled, NotConfirmed };

struct Confirmation {
  Confirmed confirmed = Confirmed::NotConfirmed;
  // NotConfirmed only: the printer's status, asked after the time-out as
  // /v1/printers/status would (on the job's connection where there is one).
  std::optional<PrinterStatus> status;
  bool operator==(const Confirmation&) const = default;
};

// The answer's body: {"ok":true,"confirmed":NAME} and, with a status,
// ,"status":{...} as printer_status_json() writes it. NAME is "printed",
// "processed", "transmitted", "spooled" or "not_confirmed".
std::string confirmation_json(const Confirmation& confirmation);

// The bytes that follow an ESC/POS job: GS ( H fn 48 with `id`, then GS r 1.
std::array<std::uint8_t, 14> escpos_confirm_request(const std::array<std::uint8_t, 4>& id);

// The confirmation on a printer that has just been sent its job, within
// `timeout` of the call:
//   ESC/POS: stale input discarded, escpos_confirm_request(id) sent, the
//     replies read until "printed" (at once) or the time-out (then
//     Processed when the fence answered, unless its reply reports the
//     roll's end: then NotConfirmed, with paper "out" when the status
//     query cannot tell the paper);
//   ZPL: ~HQES and, when it reports no error, ~HS, asked again every
//     ZPL_POLL_INTERVAL until ~HS shows no format waiting and no label
//     remaining;
//   Star: nothing is asked: Star line mode has no reply tied to a job's
//     printing, and its status request is answered at once, ahead of the
//     data (no fence), so a Star job is never confirmed.
// When not confirmed, the status is asked on the same channel with
// query_device_status() and its protocol's default time-out
// (default_status_timeout()).
Confirmation confirm_on_device(StatusChannel& channel, StatusProtocol protocol, std::chrono::milliseconds timeout,
                               const std::array<std::uint8_t, 4>& id, const MonotonicClock& clock);

// How long a ZPL confirmation waits between two rounds of questions.
inline constexpr std::chrono::milliseconds ZPL_POLL_INTERVAL{100};

// How long a spooler confirmation waits between two looks at the job.
inline constexpr std::chrono::milliseconds SPOOLER_POLL_INTERVAL{100};

// The confirmation of job `job_id`, just spooled to `printer`, within
// `timeout`: its state (spooled_job_state()) looked at every
// SPOOLER_POLL_INTERVAL, waited with `wait`, until it is transmitted
// (Transmitted), has failed (NotConfirmed) or the time-out ends with the job
// still queued (Spooled). A job the spooler cannot report on is not
// confirmed. When not confirmed, the status is query_spooler_status()'s.
Confirmation confirm_spooled_job(Spooler& spooler, const std::string& printer, std::uint32_t job_id,
                                 std::chrono::milliseconds timeout, const MonotonicClock& clock,
                                 const std::function<void(std::chrono::milliseconds)>& wait);

// Sends the job through its target's channel, then confirms it:
// network and serial targets with confirm_on_device() on the job's own
// connection (`request.protocol` required), spooler targets through the
// job's state. The error is the delivery's, as print_to_target words and
// classes it;
// once the bytes are delivered the result is a Confirmation. The id of an
// ESC/POS confirmation is four random digits from `random`.
[[nodiscard]] Outcome<Confirmation, PrintError> print_and_confirm(const PrintTarget& target, std::span<const std::uint8_t> bytes,
                                                      const ConfirmRequest& request, PrintPlatform& platform,
                                                      RandomSource& random,
                                                      const MonotonicClock& clock = system_monotonic_clock());

}  // namespace zunel
