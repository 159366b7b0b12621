#include "security/unicode_text.h"

#include <cstdint>

namespace zunel {
namespace {

struct Decoded {
  char32_t scalar;  // 0xFFFFFFFF for a malformed byte
  std::size_t length;
};

constexpr char32_t MALFORMED = 0xFFFFFFFF;

// Decodes one character at `pos`; overlong forms, surrogates and values past
// U+10FFFF are malformed.
Decoded decode_at(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(pos);
  if (lead < 0x80) return {lead, 1};
  std::size_t length;
  char32_t value;
  char32_t minimum;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return {MALFORMED, 1};
  }
  if (pos + length > text.size()) return {MALFORMED, 1};
  for (std::size_t i = 1; i < length; ++i) {
    const std::uint8_t cont = byte(pos + i);
    if ((cont & 0xC0) != 0x80) return {MALFORMED, 1};
    value = value << 6 | (cont & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return {MALFORMED, 1};
  }
  return {value, length};
}

}  // namespace

std::string_view first_chars(std::string_view text, std::size_t max_chars) {
  std::size_t pos = 0;
  for (std::size_t n = 0; n < max_chars && pos < text.size(); ++n) pos += decode_at(text, pos).length;
  return text.substr(0, pos);
}

}  // namespace zunel
