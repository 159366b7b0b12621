#pragma once
// The ESC/POS printer's word on a job it was asked to confirm.

#include <array>
#include <cstddef>
#include <cstdint>

namespace zunel {

// What a printer sends back after a job that ends in the confirmation
// request: GS ( H fn 48 with a 4-byte id, then GS r 1. Byte by byte, it
// hears "printed" when `37 22 id 00` arrives (sent once the job's data has
// finished printing) and "fence" for a GS r 1 reply (identity bits 4 and 7
// clear: sent once every byte before it was processed). A `37 22` frame with
// another id (an earlier job's), DLE EOT replies, automatic status frames
// and XON/XOFF are skipped. Anything else makes the input "invalid", for
// good: a second fence, a byte with bit 7 set or another stray byte, a 37
// not followed by 22, a frame not ended by 00. A printer that sends such
// bytes (noise, a flood) has not answered, whatever else it sent.
class EscPosConfirmReader {
 public:
  enum class Heard { Nothing, Fence, Printed, Invalid };
  explicit EscPosConfirmReader(std::array<std::uint8_t, 4> id) : id_(id) {}
  Heard take(std::uint8_t b);

 private:
  std::array<std::uint8_t, 4> id_;
  std::array<std::uint8_t, 7> frame_{};
  std::size_t frame_size_ = 0;  // bytes of a 37 22 frame read so far
  int skip_ = 0;                // bytes still to skip of an automatic status frame
  bool fenced_ = false;
  bool invalid_ = false;
};

}  // namespace zunel
