#include "base/utf8.h"

#include <cstdint>
#include <cstring>
#include <optional>

namespace zunel {
namespace {

constexpr char32_t REPLACEMENT = 0xfffd;

// The length of the sequence a byte begins: 1 for ASCII and for a byte that
// begins no well-formed sequence (a continuation byte, C0, C1, F5 to FF).
constexpr std::size_t sequence_length(unsigned char lead) {
  return lead >= 0xc2 && lead <= 0xdf ? 2 : lead >= 0xe0 && lead <= 0xef ? 3 : lead >= 0xf0 && lead <= 0xf4 ? 4 : 1;
}

// Decodes the code point at text[i], advancing i. Nothing for a malformed
// sequence; i then points past the first byte.
std::optional<char32_t> decode(std::string_view text, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i++]);
  if (lead < 0x80) return lead;
  const std::size_t len = sequence_length(lead) - 1;  // continuation bytes
  if (len == 0) return std::nullopt;
  constexpr char32_t MIN[] = {0, 0x80, 0x800, 0x10000};  // the shortest form's smallest value
  const char32_t min = MIN[len];
  char32_t cp = lead & (0x7fu >> (len + 1));
  if (text.size() - i < len) return std::nullopt;
  for (std::size_t k = 0; k < len; ++k) {
    const auto c = static_cast<unsigned char>(text[i + k]);
    if ((c & 0xc0) != 0x80) return std::nullopt;
    cp = cp << 6 | (c & 0x3f);
  }
  if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return std::nullopt;
  i += len;
  return cp;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xc0 | cp >> 6));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xe0 | cp >> 12));
    out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  } else {
    out.push_back(static_cast<char>(0xf0 | cp >> 18));
    out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  }
}

bool is_white_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0d) || cp == 0x20 || cp == 0x85 || cp == 0xa0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200a) || cp == 0x2028 || cp == 0x2029 || cp == 0x202f ||
         cp == 0x205f || cp == 0x3000;
}

}  // namespace

Utf8Char decode_utf8_char(std::string_view text, std::size_t pos) {
  std::size_t next = pos;
  if (const auto cp = decode(text, next)) return {cp, next - pos};
  const std::size_t announced = sequence_length(static_cast<unsigned char>(text[pos]));
  std::size_t length = 1;
  while (length < announced && pos + length < text.size() &&
         (static_cast<unsigned char>(text[pos + length]) & 0xc0) == 0x80) {
    ++length;
  }
  return {std::nullopt, length};
}

std::string_view first_chars(std::string_view text, std::size_t max_chars) {
  std::size_t pos = 0;
  for (std::size_t n = 0; n < max_chars && pos < text.size(); ++n) pos += decode_utf8_char(text, pos).length;
  return text.substr(0, pos);
}

bool is_valid_utf8(std::string_view text) {
  Utf8Validator validator;
  validator.feed(text);
  return validator.finish();
}

void Utf8Validator::feed(std::string_view piece) {
  const std::size_t n = piece.size();
  std::size_t i = 0;
  while (ok_ && i < n) {
    if (need_ == 0) {
      // Bodies are megabytes of ASCII JSON: skip eight ASCII bytes at a time.
      if (n - i >= 8) {
        std::uint64_t word;
        std::memcpy(&word, piece.data() + i, 8);
        if ((word & 0x8080808080808080ull) == 0) {
          i += 8;
          continue;
        }
      }
      const auto lead = static_cast<unsigned char>(piece[i++]);
      if (lead < 0x80) continue;
      // The well-formed sequences of the Unicode standard: the second byte's
      // range shuts out overlong forms, surrogates and code points above
      // U+10FFFF.
      need_ = static_cast<unsigned>(sequence_length(lead)) - 1;
      if (need_ == 0) ok_ = false;
      low_ = lead == 0xe0 ? 0xa0 : lead == 0xf0 ? 0x90 : 0x80;
      high_ = lead == 0xed ? 0x9f : lead == 0xf4 ? 0x8f : 0xbf;
      continue;
    }
    const auto c = static_cast<unsigned char>(piece[i++]);
    if (c < low_ || c > high_) {
      ok_ = false;
      continue;
    }
    --need_;
    low_ = 0x80, high_ = 0xbf;
  }
}

std::string utf16_to_utf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xd800 && cp <= 0xdbff && i + 1 < text.size() && text[i + 1] >= 0xdc00 &&
        text[i + 1] <= 0xdfff) {
      cp = 0x10000 + ((cp - 0xd800) << 10) + (text[i + 1] - 0xdc00);
      ++i;
    } else if (cp >= 0xd800 && cp <= 0xdfff) {
      cp = REPLACEMENT;
    }
    append_utf8(out, cp);
  }
  return out;
}

std::u16string utf8_to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const char32_t cp = decode(text, i).value_or(REPLACEMENT);
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xd800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xdc00 + ((cp - 0x10000) & 0x3ff)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::size_t utf8_complete_prefix(std::string_view bytes) {
  // A sequence is at most four bytes: only its lead byte, among the last
  // four, can say that more bytes are still to come.
  const std::size_t size = bytes.size();
  for (std::size_t back = 1; back <= 4 && back <= size; ++back) {
    const auto byte = static_cast<unsigned char>(bytes[size - back]);
    if ((byte & 0xc0) == 0x80) continue;
    return sequence_length(byte) > back ? size - back : size;
  }
  return size;
}

std::string_view trim_unicode_space(std::string_view text) {
  // Leading: decode forward.
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t next = start;
    const auto cp = decode(text, next);
    if (!cp || !is_white_space(*cp)) break;
    start = next;
  }
  // Trailing: step back to each code point's first byte.
  std::size_t end = text.size();
  while (end > start) {
    std::size_t first = end - 1;
    while (first > start && (static_cast<unsigned char>(text[first]) & 0xc0) == 0x80) --first;
    std::size_t next = first;
    const auto cp = decode(text, next);
    if (!cp || next != end || !is_white_space(*cp)) break;
    end = first;
  }
  return text.substr(start, end - start);
}

}  // namespace zunel
