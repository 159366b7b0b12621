#pragma once
// A spooled job's state, as far as a confirmation goes.

#include "printing/spooler.h"

namespace zunel {

enum class SpooledJob { Queued, Transmitted, Failed };

// Windows: Transmitted when the job has left the queue or Status says
// PRINTED (0x80) or COMPLETE (0x1000, "data transfer complete"); Failed when
// it is being deleted or was deleted (DELETING 0x4, DELETED 0x100) without
// either; otherwise Queued, whatever else it says (an error or a paused
// printer may yet clear). CUPS: completed (9) Transmitted, canceled (7) and
// aborted (8) Failed, any other state Queued.
SpooledJob spooled_job_state(const SpoolerJobReport& report);

}  // namespace zunel
