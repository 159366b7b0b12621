#include "printing/status/winspool_status.h"

#include <array>

#include "printing/status/fault_bits.h"

namespace zunel {

void apply_winspool_report(const WinspoolPrinterReport& report, PrinterStatus& status) {
  constexpr std::uint32_t PAUSED = 0x1, PAPER_OUT = 0x10, OFFLINE = 0x80, BUSY = 0x200, PRINTING = 0x400,
                          NOT_AVAILABLE = 0x1000, PROCESSING = 0x4000, DOOR_OPEN = 0x400000,
                          WORK_OFFLINE = 0x400;
  const std::uint32_t s = report.status;
  if ((report.attributes & WORK_OFFLINE) != 0 || (s & (OFFLINE | NOT_AVAILABLE)) != 0) status.online = false;
  if ((s & PAPER_OUT) != 0) status.paper = PaperState::Out;
  if ((s & DOOR_OPEN) != 0) status.cover_open = true;
  constexpr std::array<FaultBit, 2> FAULTS{{
      {0x8, PrinterFault::Mechanical},  // paper jam
      // error, paper problem, output bin full, no toner, user intervention
      {0x2 | 0x40 | 0x800 | 0x40000 | 0x100000, PrinterFault::Other},
  }};
  status.error = first_fault(s, FAULTS);

  QueueStatus queue;
  queue.jobs = report.jobs;
  queue.state = (s & PAUSED) != 0                                        ? QueueState::Stopped
                : report.jobs > 0 || (s & (BUSY | PRINTING | PROCESSING)) ? QueueState::Processing
                                                                          : QueueState::Idle;
  // The status bits, lowest first, as the spooler names them.
  static constexpr std::array<const char*, 25> NAMES{
      "paused",        "error",       "pending-deletion", "paper-jam",   "paper-out",
      "manual-feed",   "paper-problem", "offline",        "io-active",   "busy",
      "printing",      "output-bin-full", "not-available", "waiting",    "processing",
      "initializing",  "warming-up",  "toner-low",        "no-toner",    "page-punt",
      "user-intervention", "out-of-memory", "door-open",  "server-unknown", "power-save"};
  for (std::size_t bit = 0; bit < NAMES.size(); ++bit) {
    if ((s >> bit & 1) != 0) queue.reasons.emplace_back(NAMES[bit]);
  }
  if ((report.attributes & WORK_OFFLINE) != 0) queue.reasons.emplace_back("work-offline");
  status.queue = std::move(queue);
}

SpooledJob winspool_job_state(const WinspoolJobReport& report) {
  constexpr std::uint32_t DELETING = 0x4, PRINTED = 0x80, DELETED = 0x100, COMPLETE = 0x1000;
  if (!report.found || (report.status & (PRINTED | COMPLETE)) != 0) return SpooledJob::Transmitted;
  if ((report.status & (DELETING | DELETED)) != 0) return SpooledJob::Failed;
  return SpooledJob::Queued;
}

}  // namespace zunel
