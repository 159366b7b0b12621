#pragma once
// The CUPS scheduler's word on a queue and on a job.

#include "printing/spooler.h"
#include "printing/status/printer_status.h"
#include "printing/status/spooled_job.h"

namespace zunel {

// CUPS: the queue's state as given (3 idle, 4 processing, 5 stopped; any
// other value leaves the queue unknown) and its reasons without "none".
// The device fields only where a reason says so, whatever its severity
// suffix: "offline" offline, "media-empty" paper out, "media-low" near end,
// "cover-open" and "door-open" cover open, "media-jam" a mechanical error.
// A stopped queue is not an offline printer.
void apply_cups_report(const CupsPrinterReport& report, PrinterStatus& status);

// A job's state from job-state (spooled_job_state() says which).
SpooledJob cups_job_state(const CupsJobReport& report);

}  // namespace zunel
