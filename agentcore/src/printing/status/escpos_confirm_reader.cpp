#include "printing/status/escpos_confirm_reader.h"

#include <algorithm>

namespace zunel {

EscPosConfirmReader::Heard EscPosConfirmReader::take(std::uint8_t b) {
  if (invalid_) return Heard::Invalid;
  const auto invalid = [this] {
    invalid_ = true;
    return Heard::Invalid;
  };
  if (frame_size_ == 1 && b != 0x22) return invalid();
  if (frame_size_ > 0) {
    frame_[frame_size_++] = b;
    if (frame_size_ < frame_.size()) return Heard::Nothing;
    frame_size_ = 0;
    if (frame_[6] != 0x00) return invalid();
    const bool ours = std::equal(id_.begin(), id_.end(), frame_.begin() + 2);
    return ours ? Heard::Printed : Heard::Nothing;  // another id: an earlier job's
  }
  if (skip_ > 0) {
    --skip_;
    return Heard::Nothing;
  }
  if (b == 0x37) {
    frame_[0] = b;
    frame_size_ = 1;
    return Heard::Nothing;
  }
  if ((b & 0x93) == 0x10) {
    skip_ = 3;  // an automatic status frame's other three bytes
    return Heard::Nothing;
  }
  if ((b & 0x93) == 0x12 || b == 0x11 || b == 0x13) return Heard::Nothing;  // DLE EOT reply, XON, XOFF
  if ((b & 0x90) != 0 || fenced_) return invalid();  // one GS r 1 asked, one reply
  fenced_ = true;
  return Heard::Fence;
}

}  // namespace zunel
