#pragma once
// A printer's status as the agent answers it. The decoders beside this file
// (one per printer language, one per spooler) fill it from what a printer
// or a spooler said; printer_status_json.h gives its JSON form.
//
// Nothing is reported that was not read: a field the channel cannot tell,
// or that the printer did not answer, stays unknown (null, "unknown").

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "printing/print_target.h"

namespace zunel {

enum class StatusSource { Device, Spooler };
enum class PaperState { Ok, NearEnd, Out, Unknown };
enum class PrinterFault { Cutter, Mechanical, Unrecoverable, AutoRecoverable, HeadOpen, RibbonOut, Other };
enum class QueueState { Idle, Processing, Stopped };

// A spooler queue: its state, the spooler's reasons and the jobs it holds.
struct QueueStatus {
  QueueState state = QueueState::Idle;
  std::vector<std::string> reasons;
  std::uint32_t jobs = 0;
  bool operator==(const QueueStatus&) const = default;
};

// The answer to a status query; the members are those of its JSON form.
struct PrinterStatus {
  StatusSource source = StatusSource::Device;
  bool reachable = false;  // connected, or the queue exists
  bool answered = false;   // the printer (or spooler) replied within the time-out
  bool busy = false;       // a job held the printer past the time-out; nothing was asked
  std::optional<bool> online;
  PaperState paper = PaperState::Unknown;
  std::optional<bool> cover_open;
  std::optional<PrinterFault> error;  // none, or not known
  // The drawer connector's pin 3; whether HIGH means open depends on the drawer.
  std::optional<bool> drawer_pin3_high;
  std::optional<QueueStatus> queue;  // spooler answers only
  std::vector<std::uint8_t> raw;     // the bytes read, as read
  std::uint64_t elapsed_ms = 0;
  bool operator==(const PrinterStatus&) const = default;
};

// The answer when a job held the printer past the query's time-out: busy,
// nothing asked, so nothing known.
PrinterStatus busy_printer_status(StatusSource source, std::uint64_t elapsed_ms);

// Whole milliseconds from `start` to now on `clock`, for elapsed_ms.
std::uint64_t elapsed_ms_since(const MonotonicClock& clock, std::chrono::milliseconds start);

// Who answers for a target: the printer itself when the agent speaks to it
// directly (speaks_directly()), its spooler otherwise.
StatusSource status_source(const PrintTarget& target);

}  // namespace zunel
