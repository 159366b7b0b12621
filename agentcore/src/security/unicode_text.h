#pragma once
// Unicode-aware trimming and truncation of UTF-8 text. A byte that does not
// start a well-formed UTF-8 sequence counts as one character of its own and
// is never white space.

#include <cstddef>
#include <string_view>

namespace zunel {

// Removes leading and trailing characters with the Unicode White_Space property.
std::string_view trim_unicode_space(std::string_view text);

// The longest prefix of at most `max_chars` characters (Unicode scalar values).
std::string_view first_chars(std::string_view text, std::size_t max_chars);

}  // namespace zunel
