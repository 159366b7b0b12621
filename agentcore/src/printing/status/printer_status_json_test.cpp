#include "printing/status/printer_status_json.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "status_rows.h"

namespace zunel {
namespace {

TEST(PrinterStatusJson, EveryMemberOfTheAnswerInItsOrder) {
  PrinterStatus device = with([](auto& s) {
    s.reachable = true, s.answered = true, s.online = false, s.paper = PaperState::Out, s.cover_open = false,
    s.error = PrinterFault::AutoRecoverable, s.drawer_pin3_high = true, s.raw = {0x1a, 0x32, 0x12, 0x7e},
    s.elapsed_ms = 7;
  });
  EXPECT_EQ(printer_status_json(device),
            R"({"source":"device","reachable":true,"answered":true,"busy":false,"online":false,"paper":"out",)"
            R"("cover_open":false,"error":"auto_recoverable","drawer_pin3_high":true,"queue":null,)"
            R"("raw":"1a32127e","elapsed_ms":7})");
  PrinterStatus spooler = with([](auto& s) {
    s.source = StatusSource::Spooler, s.reachable = true, s.answered = true,
    s.queue = queue(QueueState::Stopped, {"media-empty-error", "paused"}, 2);
  });
  EXPECT_EQ(printer_status_json(spooler),
            R"({"source":"spooler","reachable":true,"answered":true,"busy":false,"online":null,)"
            R"("paper":"unknown","cover_open":null,"error":null,"drawer_pin3_high":null,)"
            R"("queue":{"state":"stopped","reasons":["media-empty-error","paused"],"jobs":2},)"
            R"("raw":"","elapsed_ms":0})");
  EXPECT_EQ(printer_status_json(busy_printer_status(StatusSource::Device, 1500)),
            R"({"source":"device","reachable":null,"answered":false,"busy":true,"online":null,)"
            R"("paper":"unknown","cover_open":null,"error":null,"drawer_pin3_high":null,"queue":null,)"
            R"("raw":"","elapsed_ms":1500})");
}

}  // namespace
}  // namespace zunel
