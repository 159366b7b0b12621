#include "printing/byte_pairs.h"

#include <bit>
#include <cstring>

namespace zunel {
namespace {

static_assert(std::endian::native == std::endian::little, "the word scan reads characters in memory order");

// 0x80 in each byte of `w` that is an ASCII digit, 0 in the others.
constexpr std::uint64_t digit_bytes(std::uint64_t w) {
  const std::uint64_t t = w ^ 0x3030303030303030ull;  // a digit becomes 0 to 9
  return ~(((t & 0x7f7f7f7f7f7f7f7full) + 0x7676767676767676ull) | t) & 0x8080808080808080ull;
}

// 0x80 in each byte of `w` that is a comma, 0 in the others.
constexpr std::uint64_t comma_bytes(std::uint64_t w) {
  const std::uint64_t t = w ^ 0x2c2c2c2c2c2c2c2cull;  // a comma becomes 0
  return ~(((t & 0x7f7f7f7f7f7f7f7full) + 0x7f7f7f7f7f7f7f7full) | t) & 0x8080808080808080ull;
}

// One bit per byte of a digit_bytes() or comma_bytes() result, in memory order.
constexpr unsigned byte_bits(std::uint64_t marks) {
  return static_cast<unsigned>(((marks >> 7) * 0x0102040810204080ull) >> 56);
}

// Decodes the pairs that end in the next 16 characters, when all of them
// are plain; otherwise decodes nothing. Returns the characters taken (0:
// the window holds something else, for the exact scan to judge). Reads 18
// characters from `p`; writes up to 7 values from `o`, even when it takes
// nothing.
std::size_t scan_window(const unsigned char* p, std::uint8_t*& o) {
  std::uint64_t w0, w1;
  std::memcpy(&w0, p, 8);
  std::memcpy(&w1, p + 8, 8);
  const unsigned digits = byte_bits(digit_bytes(w0)) | byte_bits(digit_bytes(w1)) << 8;
  const unsigned commas = byte_bits(comma_bytes(w0)) | byte_bits(comma_bytes(w1)) << 8;
  // A pair ends at a comma followed by a digit; the window's pairs run to
  // the last such comma and hold only digits and commas, start with a
  // digit, have no empty value and no run of four digits.
  const unsigned ends = commas & digits >> 1;
  if (ends == 0) return 0;
  const unsigned last = static_cast<unsigned>(std::bit_width(ends)) - 1;
  const unsigned region = (2u << last) - 1;
  const bool plain = ((digits | commas) & region) == region && (commas & region) == ends &&
                     (digits & 1) != 0 && (digits & digits >> 1 & digits >> 2 & digits >> 3 & region) == 0;
  if (!plain) return 0;
  // Each value: its one to three digits moved to the last of three bytes,
  // weighed by one multiplication (100, 10, 1; only the low byte of the sum
  // is kept, exact when the value fits) and compared with 255 digit by
  // digit, most significant first.
  unsigned bad = 0;
  unsigned start = 0;
  std::uint8_t* out = o;
  for (unsigned m = ends; m != 0; m &= m - 1) {
    const unsigned comma = static_cast<unsigned>(std::countr_zero(m));
    const unsigned len = comma - start;
    std::uint32_t v;
    std::memcpy(&v, p + start, 4);
    v &= 0x0f0f0f0fu;
    const std::uint32_t n = v << (8 * (3 - len)) & 0xffffffu;
    const std::uint32_t weighed = n * 0x640a01u;
    const bool over = (__builtin_bswap32(n) >> 8) > 0x020505u;
    bad |= static_cast<unsigned>(over) | static_cast<unsigned>((v & 0xf) == 0 && len > 1);
    *out++ = static_cast<std::uint8_t>(weighed >> 16);
    start = comma + 1;
  }
  if (bad != 0) return 0;
  o = out;
  return last + 1;
}

// Writes the decoded values from `o` on, advancing it.
PairScan scan_pairs_into(std::string_view text, std::uint8_t*& o) {
  const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = begin + text.size();
  const auto* p = begin;
  // Sixteen characters at a time while all is plain, with no branch per
  // value; the first window that holds anything else, and the last few
  // characters, go to the exact scan below.
  while (end - p >= 18) {
    const std::size_t taken = scan_window(p, o);
    if (taken == 0) break;
    p += taken;
  }
  const auto digit = [](unsigned c) { return c - '0' <= 9u; };
  while (p < end) {
    const std::size_t left = static_cast<std::size_t>(end - p);
    const PairScan stop{static_cast<std::size_t>(p - begin), true};
    const PairScan more{static_cast<std::size_t>(p - begin), false};
    if (!digit(p[0])) return stop;
    unsigned value = p[0] - '0';
    std::size_t len = 1;
    while (len < 3 && p[0] != '0') {
      if (len == left) return more;
      if (!digit(p[len])) break;
      value = value * 10 + (p[len] - '0');
      ++len;
    }
    if (len == left) return more;
    if (p[len] != ',' || value > 255) return stop;
    if (len + 1 == left) return more;
    if (!digit(p[len + 1])) return stop;
    *o++ = static_cast<std::uint8_t>(value);
    p += len + 1;
  }
  return {static_cast<std::size_t>(p - begin), false};
}

}  // namespace

PairScan scan_pairs(std::string_view text, std::vector<std::uint8_t>& out) {
  // Room for as many pairs as the text can hold (two characters each at
  // least), filled through a plain pointer: a store through a byte pointer
  // may alias the vector's own members, which push_back would then reload
  // for every byte.
  const std::size_t old = out.size();
  out.resize(old + text.size() / 2);
  std::uint8_t* o = out.data() + old;
  const PairScan r = scan_pairs_into(text, o);
  out.resize(static_cast<std::size_t>(o - out.data()));
  return r;
}

}  // namespace zunel
