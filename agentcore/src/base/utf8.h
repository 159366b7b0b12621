#pragma once
// UTF-8 decoding, validation, trimming and UTF-16 conversion, written out
// because the standard library's converters are deprecated and the system's
// text must behave the same on every platform.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zunel {

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view text);

// The same check over text that arrives in pieces, cut anywhere (inside a
// sequence too). Holds a few bytes of state, never the text.
class Utf8Validator {
 public:
  void feed(std::string_view piece);
  // Whether nothing malformed has been fed so far; a sequence cut by the end
  // of what was fed is not yet malformed.
  bool ok() const { return ok_; }
  // The verdict on the whole text: a sequence cut by its end is malformed.
  bool finish() {
    if (need_ != 0) ok_ = false;
    need_ = 0;
    return ok_;
  }

 private:
  bool ok_ = true;
  unsigned need_ = 0;                   // continuation bytes still expected
  unsigned char low_ = 0x80, high_ = 0xbf;  // range of the next continuation byte
};

// One character read from UTF-8 text.
struct Utf8Char {
  std::optional<char32_t> scalar;  // nothing for a malformed sequence
  std::size_t length;              // bytes it takes, at least 1
};

// Decodes the character that starts at text[pos]. REQUIRES: pos < text.size().
// A malformed sequence (overlong, a surrogate, past U+10FFFF, cut short, or a
// byte that cannot start one) takes its first byte and the continuation bytes
// (0x80-0xBF) that follow it, up to the length its first byte announces.
Utf8Char decode_utf8_char(std::string_view text, std::size_t pos);

// The longest prefix of at most `max_chars` characters, each character as
// decode_utf8_char() reads it (a malformed sequence counts as one).
std::string_view first_chars(std::string_view text, std::size_t max_chars);

// Converts UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);

// Converts UTF-8 to UTF-16; each malformed byte becomes U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);

// The length of the longest prefix of `bytes` that does not end inside an
// unfinished UTF-8 sequence: what a streaming writer can convert now, keeping
// the rest for its next write. Malformed bytes count as finished.
std::size_t utf8_complete_prefix(std::string_view bytes);

// Removes Unicode white space (the White_Space property: tab, line feed,
// carriage return, space, no-break space, the typographic spaces, ...) from
// both ends. Takes any bytes: a malformed sequence is not white space, so
// trimming from either end stops at it.
std::string_view trim_unicode_space(std::string_view text);

}  // namespace zunel
