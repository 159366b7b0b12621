#include "printing/status/winspool_status.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "printing/status/printer_status_json.h"
#include "status_rows.h"

namespace zunel {
namespace {

TEST(WinspoolReport, OnlyBitsThatAreSetAreMapped) {
  struct Row {
    WinspoolPrinterReport report;
    PrinterStatus expected;
  };
  const std::vector<Row> rows = {
      // Wine, and a USB printer that is off, report 0 for everything: nothing known.
      {{0, 0, 0}, with([](auto& s) { s.queue = queue(QueueState::Idle, {}); })},
      {{0, 0x400, 0}, with([](auto& s) { s.online = false, s.queue = queue(QueueState::Idle, {"work-offline"}); })},
      {{0x80, 0, 0}, with([](auto& s) { s.online = false, s.queue = queue(QueueState::Idle, {"offline"}); })},
      {{0x1000, 0x400, 1}, with([](auto& s) {
         s.online = false, s.queue = queue(QueueState::Processing, {"not-available", "work-offline"}, 1);
       })},
      {{0x10, 0, 0}, with([](auto& s) { s.paper = PaperState::Out, s.queue = queue(QueueState::Idle, {"paper-out"}); })},
      {{0x400000, 0, 0}, with([](auto& s) { s.cover_open = true, s.queue = queue(QueueState::Idle, {"door-open"}); })},
      {{0x8, 0, 0}, with([](auto& s) { s.error = PrinterFault::Mechanical, s.queue = queue(QueueState::Idle, {"paper-jam"}); })},
      {{0x2, 0, 0}, with([](auto& s) { s.error = PrinterFault::Other, s.queue = queue(QueueState::Idle, {"error"}); })},
      {{0x100000, 0, 0}, with([](auto& s) {
         s.error = PrinterFault::Other, s.queue = queue(QueueState::Idle, {"user-intervention"});
       })},
      {{0x1, 0, 3}, with([](auto& s) { s.queue = queue(QueueState::Stopped, {"paused"}, 3); })},
      {{0x400, 0, 0}, with([](auto& s) { s.queue = queue(QueueState::Processing, {"printing"}); })},
      {{0, 0, 2}, with([](auto& s) { s.queue = queue(QueueState::Processing, {}, 2); })},
      {{0x20000, 0, 0}, with([](auto& s) { s.queue = queue(QueueState::Idle, {"toner-low"}); })},
  };
  for (const Row& row : rows) {
    PrinterStatus got;
    apply_winspool_report(row.report, got);
    EXPECT_EQ(got, row.expected) << std::hex << row.report.status << "/" << row.report.attributes << ": "
                                 << printer_status_json(got);
  }
}

}  // namespace
}  // namespace zunel
