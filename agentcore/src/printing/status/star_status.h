#pragma once
// Star status: the automatic status block and what it tells.

#include <cstddef>
#include <cstdint>
#include <span>

#include "printing/status/printer_status.h"

namespace zunel {

// The length of a Star automatic status block that `header` (its first
// byte, identity (b & 0x91) == 0x01) announces; 0 when `header` is not one.
std::size_t star_block_length(std::uint8_t header);

// Fills what a whole block (7 bytes for version 1, 9 for version 3) tells:
// byte 3 offline and cover open, byte 4 errors, byte 6 paper near end and
// end. REQUIRES: block.size() == star_block_length(block[0]) >= 7.
void apply_star_block(std::span<const std::uint8_t> block, PrinterStatus& status);

}  // namespace zunel
