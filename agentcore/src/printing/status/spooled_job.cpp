#include "printing/status/spooled_job.h"

#include "base/overloaded.h"
#include "printing/status/cups_status.h"
#include "printing/status/winspool_status.h"

namespace zunel {

SpooledJob spooled_job_state(const SpoolerJobReport& report) {
  return std::visit(Overloaded{
                        [](const WinspoolJobReport& win) { return winspool_job_state(win); },
                        [](const CupsJobReport& cups) { return cups_job_state(cups); },
                    },
                    report);
}

}  // namespace zunel
