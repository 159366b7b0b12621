#include "printing/status/star_status.h"

#include "printing/status/fault_bits.h"

namespace zunel {

std::size_t star_block_length(std::uint8_t header) {
  if ((header & 0x91) != 0x01) return 0;
  // Bits 5, 3, 2 and 1 hold the length, bit 5 the highest.
  return static_cast<std::size_t>((header >> 2 & 0x08) | (header >> 1 & 0x07));
}

void apply_star_block(std::span<const std::uint8_t> block, PrinterStatus& status) {
  const std::uint8_t printer = block[2], errors = block[3], paper = block[5];
  status.online = (printer & 0x08) == 0;
  status.cover_open = (printer & 0x20) != 0;
  status.error = first_fault(errors, PRINTER_ERROR_BITS);
  status.paper = (paper & 0x08) != 0   ? PaperState::Out
                 : (paper & 0x04) != 0 ? PaperState::NearEnd
                                       : PaperState::Ok;
}

}  // namespace zunel
