#pragma once
// Truncation of UTF-8 text by characters. A byte that does not start a
// well-formed UTF-8 sequence counts as one character of its own.

#include <cstddef>
#include <string_view>

namespace zunel {

// The longest prefix of at most `max_chars` characters (Unicode scalar values).
std::string_view first_chars(std::string_view text, std::size_t max_chars);

}  // namespace zunel
