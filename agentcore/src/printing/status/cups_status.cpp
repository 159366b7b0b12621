#include "printing/status/cups_status.h"

#include <string>

namespace zunel {

void apply_cups_report(const CupsPrinterReport& report, PrinterStatus& status) {
  QueueStatus queue;
  switch (report.state) {
    case 3:
      queue.state = QueueState::Idle;
      break;
    case 4:
      queue.state = QueueState::Processing;
      break;
    case 5:
      queue.state = QueueState::Stopped;
      break;
    default:
      return;  // not a state this answer can name
  }
  queue.jobs = report.jobs;
  for (const std::string& reason : report.reasons) {
    if (reason == "none") continue;
    queue.reasons.push_back(reason);
    if (reason.starts_with("offline")) status.online = false;
    if (reason.starts_with("media-empty")) status.paper = PaperState::Out;
    if (reason.starts_with("media-low") && status.paper != PaperState::Out) status.paper = PaperState::NearEnd;
    if (reason.starts_with("cover-open") || reason.starts_with("door-open")) status.cover_open = true;
    if (reason.starts_with("media-jam") && !status.error) status.error = PrinterFault::Mechanical;
  }
  status.queue = std::move(queue);
}

SpooledJob cups_job_state(const CupsJobReport& report) {
  if (report.state == 9) return SpooledJob::Transmitted;
  if (report.state == 7 || report.state == 8) return SpooledJob::Failed;
  return SpooledJob::Queued;
}

}  // namespace zunel
