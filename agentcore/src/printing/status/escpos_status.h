#pragma once
// ESC/POS status: the replies to DLE EOT 1 to 4 and what they tell.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "printing/status/printer_status.h"

namespace zunel {

// The replies to DLE EOT 1 (printer), 2 (offline cause), 3 (error cause)
// and 4 (roll paper sensor); absent when that query got no valid reply.
struct EscPosReplies {
  std::optional<std::uint8_t> printer, offline_cause, error_cause, paper_sensor;
};

// Picks DLE EOT replies out of a printer's input, byte by byte: a reply has
// bits 1 and 4 set and bits 0 and 7 clear ((b & 0x93) == 0x12). Automatic
// status frames (a first byte with (b & 0x93) == 0x10 and three more),
// XON (0x11) and XOFF (0x13) are skipped; any other byte is noise, which
// makes the input invalid for good: no printer answering DLE EOT sends it.
class EscPosReplyFilter {
 public:
  // The byte, when it is a DLE EOT reply.
  std::optional<std::uint8_t> take(std::uint8_t b);
  bool invalid() const { return invalid_; }

 private:
  int frame_left_ = 0;  // bytes still to skip of an automatic status frame
  bool invalid_ = false;
};

// Fills what the replies tell: online and the drawer pin from n=1, the
// cover and a paper-end stop from n=2, the error from n=3 (or "other" when
// only n=2 says an error occurred), the paper from n=4 (and n=2).
void apply_escpos_replies(const EscPosReplies& replies, PrinterStatus& status);

}  // namespace zunel
