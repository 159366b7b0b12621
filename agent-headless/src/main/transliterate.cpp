#include "main/transliterate.h"

#include <cstdint>

#include "base/utf8.h"

namespace zunel {
namespace {

// The ASCII stand-in for one non-ASCII code point.
std::string_view replacement(std::uint32_t cp) {
  switch (cp) {
    case 192: case 193: case 194: case 196: return "A";
    case 200: case 201: case 202: case 203: return "E";
    case 204: case 205: case 206: case 207: return "I";
    case 210: case 211: case 212: case 214: return "O";
    case 217: case 218: case 219: case 220: return "U";
    case 209: return "N";
    case 224: case 225: case 226: case 228: return "a";
    case 232: case 233: case 234: case 235: return "e";
    case 236: case 237: case 238: case 239: return "i";
    case 242: case 243: case 244: case 246: return "o";
    case 249: case 250: case 251: case 252: return "u";
    case 241: return "n";
    case 161: case 191: return "";
    case 171: case 187: case 8220: case 8221: return "\"";
    case 8216: case 8217: return "'";
    case 8211: case 8212: return "-";
    case 8230: return "...";
    case 8594: return ">";
    case 10003: return "OK";
    default: return "?";
  }
}

}  // namespace

std::string transliterate_for_console(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const Utf8Char c = decode_utf8_char(text, i);
    i += c.length;
    if (!c.scalar) {
      out.push_back('?');  // one for the whole malformed sequence
    } else if (*c.scalar < 0x80) {
      out.push_back(static_cast<char>(*c.scalar));
    } else {
      out.append(replacement(*c.scalar));
    }
  }
  return out;
}

}  // namespace zunel
