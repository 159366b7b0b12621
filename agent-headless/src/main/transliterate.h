#pragma once
// Windows consoles often show accented letters, typographic punctuation, the
// arrow and the check mark wrongly, so some command-line texts are reduced to
// plain ASCII before they are written.

#include <string>
#include <string_view>

namespace zunel {

// Replaces each code point of the UTF-8 `text` by its ASCII stand-in: ASCII
// unchanged, accented vowels and ñ by their base letter, ¡ ¿ dropped, quotes,
// dashes, the ellipsis, the arrow and the check mark by ASCII forms, anything
// else by "?". A malformed UTF-8 sequence, as decode_utf8_char() reads it,
// counts as one unknown character. Never fails.
std::string transliterate_for_console(std::string_view text);

}  // namespace zunel
