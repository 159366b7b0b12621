#include "printing/status/cups_status.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "printing/status/printer_status_json.h"
#include "status_rows.h"

namespace zunel {
namespace {

TEST(CupsReport, StateAndReasonsAsTheSchedulerGivesThem) {
  struct Row {
    CupsPrinterReport report;
    PrinterStatus expected;
  };
  const std::vector<Row> rows = {
      {{3, {"none"}, 0}, with([](auto& s) { s.queue = queue(QueueState::Idle, {}); })},
      {{4, {"none"}, 1}, with([](auto& s) { s.queue = queue(QueueState::Processing, {}, 1); })},
      // A stopped queue is not an offline printer.
      {{5, {"paused"}, 0}, with([](auto& s) { s.queue = queue(QueueState::Stopped, {"paused"}); })},
      {{5, {"media-empty-error", "paused"}, 1}, with([](auto& s) {
         s.paper = PaperState::Out, s.queue = queue(QueueState::Stopped, {"media-empty-error", "paused"}, 1);
       })},
      {{3, {"media-low-warning"}, 0}, with([](auto& s) {
         s.paper = PaperState::NearEnd, s.queue = queue(QueueState::Idle, {"media-low-warning"});
       })},
      {{4, {"offline-report"}, 0}, with([](auto& s) {
         s.online = false, s.queue = queue(QueueState::Processing, {"offline-report"});
       })},
      {{5, {"cover-open-error"}, 0}, with([](auto& s) {
         s.cover_open = true, s.queue = queue(QueueState::Stopped, {"cover-open-error"});
       })},
      {{5, {"door-open-report"}, 0}, with([](auto& s) {
         s.cover_open = true, s.queue = queue(QueueState::Stopped, {"door-open-report"});
       })},
      {{5, {"media-jam-error"}, 0}, with([](auto& s) {
         s.error = PrinterFault::Mechanical, s.queue = queue(QueueState::Stopped, {"media-jam-error"});
       })},
      {{4, {"cups-waiting-for-job-completed"}, 1}, with([](auto& s) {
         s.queue = queue(QueueState::Processing, {"cups-waiting-for-job-completed"}, 1);
       })},
      {{0, {"media-empty-error"}, 0}, unknown()},  // no state: nothing read
  };
  for (const Row& row : rows) {
    PrinterStatus got;
    apply_cups_report(row.report, got);
    EXPECT_EQ(got, row.expected) << row.report.state << ": " << printer_status_json(got);
  }
}

}  // namespace
}  // namespace zunel
