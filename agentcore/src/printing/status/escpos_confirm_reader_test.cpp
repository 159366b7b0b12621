#include "printing/status/escpos_confirm_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zunel {
namespace {

using Heard = EscPosConfirmReader::Heard;

// The frame a printer sends once the job with id "3459" has printed.
const std::string PRINTED = "\x37\x22" "3459" + std::string(1, '\0');

TEST(EscPosConfirmReader, HearsTheFenceAndOnlyItsOwnId) {
  struct Row {
    std::string input;
    std::vector<Heard> heard;  // one per byte
  };
  const auto N = Heard::Nothing, F = Heard::Fence, P = Heard::Printed, I = Heard::Invalid;
  const std::vector<Row> rows = {
      {"\x37\x22" "3459" + std::string(1, '\0'), {N, N, N, N, N, N, P}},
      // GS r 1 answers: paper fine, near end, out (identity 0**0****).
      {std::string("\x00", 1), {F}},
      {"\x03", {F}},
      {"\x0c", {F}},
      // Another job's id: nothing.
      {"\x37\x22" "3458" + std::string(1, '\0'), {N, N, N, N, N, N, N}},
      // DLE EOT replies and XON/XOFF are not the fence.
      {"\x12\x1e\x11\x13", {N, N, N, N}},
      // An automatic status frame: its last three bytes look like fences.
      {std::string("\x10\x00\x00\x00\x00", 5), {N, N, N, N, F}},
      // Noise is no answer, and nothing after it is heard: a second fence
      // (one GS r 1 was asked), bit 7, a frame without its terminator, a
      // 0x37 that begins no frame, a stray byte.
      {std::string("\x00\x00", 2) + PRINTED, {F, I, I, I, I, I, I, I, I}},
      {"\x80" + PRINTED, {I, I, I, I, I, I, I, I}},
      {"\x37\x22" "3459\x01", {N, N, N, N, N, N, I}},
      {std::string("\x37\x00", 2), {N, I}},
      {"\x15", {I}},
  };
  for (const Row& row : rows) {
    EscPosConfirmReader reader({'3', '4', '5', '9'});
    std::vector<Heard> heard;
    for (char c : row.input) heard.push_back(reader.take(static_cast<std::uint8_t>(c)));
    EXPECT_EQ(heard, row.heard) << ::testing::PrintToString(row.input);
  }
}

}  // namespace
}  // namespace zunel
