#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "printing/status/cups_status.h"
#include "printing/status/escpos_status.h"
#include "printing/status/printer_status_json.h"
#include "printing/status/star_status.h"
#include "printing/status/winspool_status.h"
#include "printing/status/zpl_status.h"

namespace zunel {
namespace {

// What a decoder row expects; fields left as constructed stay unknown.
PrinterStatus unknown() { return PrinterStatus{}; }

template <typename F>
PrinterStatus with(F change) {
  PrinterStatus s;
  change(s);
  return s;
}

// One reply of one DLE EOT query and what it alone tells.
struct EscPosRow {
  int n;
  std::uint8_t reply;
  PrinterStatus expected;
};

TEST(EscPosReplies, EachBitOfEachQueryMeansWhatThePrintersDocumentIt) {
  const std::vector<EscPosRow> rows = {
      // DLE EOT 1: printer.
      {1, 0x12, with([](auto& s) { s.online = true, s.drawer_pin3_high = false; })},
      {1, 0x16, with([](auto& s) { s.online = true, s.drawer_pin3_high = true; })},
      {1, 0x1a, with([](auto& s) { s.online = false, s.drawer_pin3_high = false; })},
      {1, 0x32, with([](auto& s) { s.online = true, s.drawer_pin3_high = false; })},  // waiting for recovery
      {1, 0x52, with([](auto& s) { s.online = true, s.drawer_pin3_high = false; })},  // feed button
      // DLE EOT 2: offline cause.
      {2, 0x12, with([](auto& s) { s.cover_open = false; })},
      {2, 0x16, with([](auto& s) { s.cover_open = true; })},
      {2, 0x1a, with([](auto& s) { s.cover_open = false; })},  // feeding by the button
      {2, 0x32, with([](auto& s) { s.cover_open = false, s.paper = PaperState::Out; })},
      {2, 0x52, with([](auto& s) { s.cover_open = false, s.error = PrinterFault::Other; })},
      // DLE EOT 3: error cause.
      {3, 0x12, unknown()},
      {3, 0x16, with([](auto& s) { s.error = PrinterFault::Mechanical; })},
      {3, 0x1a, with([](auto& s) { s.error = PrinterFault::Cutter; })},
      {3, 0x32, with([](auto& s) { s.error = PrinterFault::Unrecoverable; })},
      {3, 0x52, with([](auto& s) { s.error = PrinterFault::AutoRecoverable; })},
      // DLE EOT 4: roll paper sensor.
      {4, 0x12, with([](auto& s) { s.paper = PaperState::Ok; })},
      {4, 0x1e, with([](auto& s) { s.paper = PaperState::NearEnd; })},
      {4, 0x72, with([](auto& s) { s.paper = PaperState::Out; })},
      {4, 0x7e, with([](auto& s) { s.paper = PaperState::Out; })},
  };
  for (const EscPosRow& row : rows) {
    EscPosReplies replies;
    std::optional<std::uint8_t>* slot[] = {&replies.printer, &replies.offline_cause, &replies.error_cause,
                                           &replies.paper_sensor};
    *slot[row.n - 1] = row.reply;
    PrinterStatus got;
    apply_escpos_replies(replies, got);
    EXPECT_EQ(got, row.expected) << "DLE EOT " << row.n << " answered " << std::hex << int(row.reply) << ": "
                                 << printer_status_json(got);
  }
}

TEST(EscPosReplies, APrinterOutOfPaperAnswersOfflineWithAPaperEndStop) {
  EscPosReplies replies{0x1a, 0x32, 0x12, 0x7e};
  PrinterStatus got;
  apply_escpos_replies(replies, got);
  EXPECT_EQ(got, with([](auto& s) {
              s.online = false, s.drawer_pin3_high = false, s.cover_open = false, s.paper = PaperState::Out;
            }));
}

TEST(EscPosReplyFilter, TakesOnlyBytesWithTheReplyIdentity) {
  struct Row {
    std::vector<std::uint8_t> input;
    std::vector<std::uint8_t> taken;
    bool invalid;  // noise came: no answer
  };
  const std::vector<Row> rows = {
      {{0x12, 0x16, 0x1a, 0x7e}, {0x12, 0x16, 0x1a, 0x7e}, false},
      {{0x13, 0x11, 0x12}, {0x12}, false},                        // XOFF, XON
      {{0x00, 0x12}, {0x12}, true},                               // a clone's 0
      {{0x92, 0x1e}, {0x1e}, true},                               // bit 7 set
      {{0x33, 0x1e}, {0x1e}, true},                               // bit 0 set
      {{0x10, 0x12, 0x12, 0x12, 0x16}, {0x16}, false},            // an automatic status frame, then a reply
      {{0x1c, 0x00, 0x0c, 0x00, 0x1c, 0x00, 0x0c, 0x00, 0x12}, {0x12}, false},  // two frames (cover open, paper end)
  };
  for (const Row& row : rows) {
    EscPosReplyFilter filter;
    std::vector<std::uint8_t> taken;
    for (std::uint8_t b : row.input) {
      if (auto reply = filter.take(b)) taken.push_back(*reply);
    }
    EXPECT_EQ(taken, row.taken);
    EXPECT_EQ(filter.invalid(), row.invalid);
  }
}

TEST(StarStatus, HeaderAnnouncesTheBlockLength) {
  EXPECT_EQ(star_block_length(0x0f), 7u);   // version 1
  EXPECT_EQ(star_block_length(0x23), 9u);   // version 3
  EXPECT_EQ(star_block_length(0x12), 0u);   // bit 0 clear: an ESC/POS reply
  EXPECT_EQ(star_block_length(0x8f), 0u);   // bit 7 set
  EXPECT_EQ(star_block_length(0x1f), 0u);   // bit 4 set
}

TEST(StarStatus, EachBitOfTheBlockMeansWhatTheStarManualsDocumentIt) {
  struct Row {
    std::size_t byte;  // 1-based, as the manuals count
    std::uint8_t value;
    PrinterStatus expected;
  };
  const auto clear = [](PrinterStatus& s) {
    s.online = true, s.cover_open = false, s.paper = PaperState::Ok;
  };
  const std::vector<Row> rows = {
      {3, 0x00, with(clear)},
      {3, 0x08, with([&](auto& s) { clear(s), s.online = false; })},
      {3, 0x28, with([&](auto& s) { clear(s), s.online = false, s.cover_open = true; })},
      {3, 0x48, with([&](auto& s) { clear(s), s.online = false; })},  // offline by the switch
      {4, 0x04, with([&](auto& s) { clear(s), s.error = PrinterFault::Mechanical; })},
      {4, 0x08, with([&](auto& s) { clear(s), s.error = PrinterFault::Cutter; })},
      {4, 0x20, with([&](auto& s) { clear(s), s.error = PrinterFault::Unrecoverable; })},
      {4, 0x40, with([&](auto& s) { clear(s), s.error = PrinterFault::AutoRecoverable; })},
      {5, 0x40, with(clear)},  // buffer overflow: not a printer state
      {6, 0x04, with([&](auto& s) { clear(s), s.paper = PaperState::NearEnd; })},
      {6, 0x08, with([&](auto& s) { clear(s), s.paper = PaperState::Out; })},
  };
  for (const std::uint8_t header : {std::uint8_t{0x0f}, std::uint8_t{0x23}}) {
    for (const Row& row : rows) {
      std::vector<std::uint8_t> block(star_block_length(header), 0);
      block[0] = header;
      block[row.byte - 1] = row.value;
      PrinterStatus got;
      apply_star_block(block, got);
      EXPECT_EQ(got, row.expected) << "byte " << row.byte << " = " << std::hex << int(row.value) << " in a "
                                   << block.size() << "-byte block: " << printer_status_json(got);
    }
  }
}

std::string hqes(const char* errors) {
  return std::string("\x02\r\n PRINTER STATUS\r\n   ERRORS:         ") + errors +
         "\r\n   WARNINGS:       0 00000000 00000000\r\n\x03\r\n";
}

TEST(ZplStatus, ErrorFlagsAreTheLastGroupAfterErrors) {
  EXPECT_EQ(zpl_error_flags(hqes("0 00000000 00000000")), 0u);
  EXPECT_EQ(zpl_error_flags(hqes("1 00000000 00000005")), 5u);
  EXPECT_EQ(zpl_error_flags(hqes("1 00000000 0000A00C")), 0xa00cu);
  EXPECT_EQ(zpl_error_flags(hqes("1 00000000")), std::nullopt);
  EXPECT_EQ(zpl_error_flags(hqes("1 00000000 0000000G")), std::nullopt);
  EXPECT_EQ(zpl_error_flags("PRINTER STATUS"), std::nullopt);
}

TEST(ZplStatus, EachErrorNibbleBitMapsToItsFault) {
  struct Row {
    std::uint32_t flags;
    PrinterStatus expected;
  };
  const auto base = [](PrinterStatus& s) { s.paper = PaperState::Ok, s.cover_open = false, s.online = false; };
  const std::vector<Row> rows = {
      {0x0, with([](auto& s) { s.paper = PaperState::Ok, s.cover_open = false; })},
      {0x1, with([&](auto& s) { base(s), s.paper = PaperState::Out; })},
      {0x2, with([&](auto& s) { base(s), s.error = PrinterFault::RibbonOut; })},
      {0x4, with([&](auto& s) { base(s), s.cover_open = true, s.error = PrinterFault::HeadOpen; })},
      {0x8, with([&](auto& s) { base(s), s.error = PrinterFault::Cutter; })},
      {0x10, with([&](auto& s) { base(s), s.error = PrinterFault::AutoRecoverable; })},   // head too hot
      {0x20, with([&](auto& s) { base(s), s.error = PrinterFault::AutoRecoverable; })},   // motor too hot
      {0x40, with([&](auto& s) { base(s), s.error = PrinterFault::Mechanical; })},        // bad head element
      {0x80, with([&](auto& s) { base(s), s.error = PrinterFault::Other; })},             // head detection
      {0x100, with([&](auto& s) { base(s), s.error = PrinterFault::Other; })},            // firmware config
      {0x200, with([&](auto& s) { base(s), s.error = PrinterFault::Other; })},            // thermistor open
      {0x10000, with([&](auto& s) { base(s), s.error = PrinterFault::Other; })},          // presenter
      {0x5, with([&](auto& s) {
         base(s), s.paper = PaperState::Out, s.cover_open = true, s.error = PrinterFault::HeadOpen;
       })},
  };
  for (const Row& row : rows) {
    PrinterStatus got;
    apply_zpl_answers(row.flags, {}, got);
    EXPECT_EQ(got, row.expected) << std::hex << row.flags << ": " << printer_status_json(got);
  }
}

TEST(ZplStatus, HostStatusLinesGivePaperPauseHeadAndRibbon) {
  const auto lines = [](char paper_out, char pause, char head_up, char ribbon_out) {
    std::string text = std::string("\x02") + "030," + paper_out + "," + pause + ",1245,000,0,0,0,000,0,0,0\x03\r\n" +
                       "\x02" + "000,0," + head_up + "," + ribbon_out + ",1,2,4,0,00000000,1,000\x03\r\n" +
                       "\x02" + "1234,0\x03\r\n";
    return zpl_frames(text);
  };
  ASSERT_EQ(lines('0', '0', '0', '0').size(), 3u);
  struct Row {
    std::vector<std::string> hs;
    std::optional<std::uint32_t> flags;
    PrinterStatus expected;
  };
  const auto clear = [](PrinterStatus& s) { s.paper = PaperState::Ok, s.cover_open = false; };
  const std::vector<Row> rows = {
      {lines('0', '0', '0', '0'), 0u, with([&](auto& s) { clear(s), s.online = true; })},
      // ~HS alone does not make a printer online: ~HQES did not answer.
      {lines('0', '0', '0', '0'), std::nullopt, with(clear)},
      {lines('1', '0', '0', '0'), std::nullopt, with([&](auto& s) { clear(s), s.paper = PaperState::Out, s.online = false; })},
      {lines('0', '1', '0', '0'), 0u, with([&](auto& s) { clear(s), s.online = false; })},
      {lines('0', '0', '1', '0'), std::nullopt,
       with([&](auto& s) { clear(s), s.cover_open = true, s.error = PrinterFault::HeadOpen, s.online = false; })},
      {lines('0', '0', '0', '1'), std::nullopt,
       with([&](auto& s) { clear(s), s.error = PrinterFault::RibbonOut, s.online = false; })},
      // Fewer than three lines, or a field that is not a number: not read.
      {{"030,0,0,1245"}, std::nullopt, unknown()},
      {lines('x', '0', '0', '0'), std::nullopt, unknown()},
  };
  for (const Row& row : rows) {
    PrinterStatus got;
    apply_zpl_answers(row.flags, row.hs, got);
    EXPECT_EQ(got, row.expected) << (row.hs.empty() ? "" : row.hs[0]) << ": " << printer_status_json(got);
  }
}

TEST(ZplStatus, FramesAreTheTextBetweenStxAndEtx) {
  EXPECT_EQ(zpl_frames("\x02" "a\x03\r\n\x02" "b,c\x03"), (std::vector<std::string>{"a", "b,c"}));
  EXPECT_EQ(zpl_frames("junk\x02" "a\x03\x02" "unclosed"), (std::vector<std::string>{"a"}));
  EXPECT_EQ(zpl_frames("\x02" "lost\x02" "kept\x03"), (std::vector<std::string>{"kept"}));
}

QueueStatus queue(QueueState state, std::vector<std::string> reasons, std::uint32_t jobs = 0) {
  return QueueStatus{state, std::move(reasons), jobs};
}

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
