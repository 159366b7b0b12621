#include "printing/status/star_status.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "printing/status/printer_status_json.h"
#include "status_rows.h"

namespace zunel {
namespace {

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

}  // namespace
}  // namespace zunel
