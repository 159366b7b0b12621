#pragma once
// Hexadecimal text: written lower case, two digits per byte, high nibble
// first; read in either case.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zunel {

std::string to_hex(std::span<const std::uint8_t> bytes);
// Nothing when the text has odd length or a non-hex character.
std::optional<std::vector<std::uint8_t>> from_hex(std::string_view text);

}  // namespace zunel
