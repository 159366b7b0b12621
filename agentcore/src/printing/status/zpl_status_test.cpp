#include "printing/status/zpl_status.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "printing/status/printer_status_json.h"
#include "status_rows.h"

namespace zunel {
namespace {

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

TEST(ZplJobsDone, ReadsFormatsWaitingPartialFormatAndLabelsRemaining) {
  const auto lines = [](std::string first, std::string second) {
    return std::vector<std::string>{std::move(first), std::move(second), "1234,0"};
  };
  EXPECT_EQ(zpl_jobs_done(lines("030,0,0,1245,000,0,0,0,000,0,0,0", "000,0,0,0,1,2,4,0,00000000,1,000")), true);
  EXPECT_EQ(zpl_jobs_done(lines("030,0,0,1245,002,0,0,0,000,0,0,0", "000,0,0,0,1,2,4,0,00000000,1,000")), false);
  EXPECT_EQ(zpl_jobs_done(lines("030,0,0,1245,000,0,0,1,000,0,0,0", "000,0,0,0,1,2,4,0,00000000,1,000")), false);
  EXPECT_EQ(zpl_jobs_done(lines("030,0,0,1245,000,0,0,0,000,0,0,0", "000,0,0,0,1,2,4,0,00000003,1,000")), false);
  EXPECT_EQ(zpl_jobs_done(lines("030,0,0,1245,000,0,0,0,000,0,0,0", "000,0,0,0,1,2,4,0")), std::nullopt);
  EXPECT_EQ(zpl_jobs_done(lines("030,0,0,1245,x,0,0,0,000,0,0,0", "000,0,0,0,1,2,4,0,00000000,1,000")), std::nullopt);
  EXPECT_EQ(zpl_jobs_done({"030,0,0,1245,000,0,0,0,000,0,0,0"}), std::nullopt);
}

}  // namespace
}  // namespace zunel
