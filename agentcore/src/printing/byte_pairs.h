#pragma once
// The print body decoder's fast path: the elements of the "bytes" array,
// one number per byte of the job, read straight from the text.
//
// A pair is "V," where V is a byte value in its plain form (0, or 1 to 255
// without a leading zero) and the character after the comma is a digit. The
// scan decodes pairs and stops at the first one it cannot vouch for.
// Skipping such pairs leaves a JSON parser where it was, still expecting an
// element, so whatever the scan does not take (white space, signs,
// fractions, exponents, leading zeros, values over 255, the closing bracket,
// the last element) goes to the parser and is accepted or refused as before.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace zunel {

struct PairScan {
  std::size_t used;  // characters of the pairs decoded
  // Stopped at something the parser must see; otherwise at the end of the
  // text, where the pair that begins at `used` is not decided yet (at most
  // four characters: five decide any pair).
  bool unusual;
};

// Appends the values of the pairs at the start of `text` to `out`.
PairScan scan_pairs(std::string_view text, std::vector<std::uint8_t>& out);

}  // namespace zunel
