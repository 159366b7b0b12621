#pragma once
// The Windows spooler's word on a printer and on a job.

#include "printing/spooler.h"
#include "printing/status/printer_status.h"
#include "printing/status/spooled_job.h"

namespace zunel {

// Windows: offline when the printer is set to "use printer offline"
// (Attributes 0x400, the one reliable signal) or Status says OFFLINE (0x80)
// or NOT_AVAILABLE (0x1000); paper out from PAPER_OUT (0x10), cover open
// from DOOR_OPEN (0x400000), an error from PAPER_JAM (mechanical), ERROR,
// PAPER_PROBLEM, OUTPUT_BIN_FULL, NO_TONER or USER_INTERVENTION (other).
// A clear bit tells nothing. The queue is stopped when PAUSED, processing
// while it holds jobs or Status says it prints, else idle; its reasons
// name each bit set.
void apply_winspool_report(const WinspoolPrinterReport& report, PrinterStatus& status);

// A job's state from JOB_INFO_1 (spooled_job_state() says which).
SpooledJob winspool_job_state(const WinspoolJobReport& report);

}  // namespace zunel
