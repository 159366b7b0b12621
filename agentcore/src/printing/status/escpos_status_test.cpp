#include "printing/status/escpos_status.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "printing/status/printer_status_json.h"
#include "status_rows.h"

namespace zunel {
namespace {

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

}  // namespace
}  // namespace zunel
