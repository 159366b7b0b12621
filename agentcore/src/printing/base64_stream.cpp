#include "printing/base64_stream.h"

// Boost.Beast's decoder takes the runs of whole groups. libsodium's, which
// the security code uses for keys and tickets, is written to run in constant
// time for secrets and decodes about five times slower: a print job's data
// is no secret, and a 1 MB job is 1.4 MB of base64.
#include <boost/beast/core/detail/base64.hpp>

#include <algorithm>

namespace zunel {
namespace {

namespace beast_base64 = boost::beast::detail::base64;

constexpr int PAD = -2;

// A character's six bits, PAD for "=", -1 for any other character.
int sextet(char c) {
  if (c == '=') return PAD;
  return beast_base64::get_inverse()[static_cast<unsigned char>(c)];
}

}  // namespace

bool Base64Stream::take_group(const char* group, std::vector<std::uint8_t>& out) {
  const int a = sextet(group[0]), b = sextet(group[1]), c = sextet(group[2]), d = sextet(group[3]);
  if (a < 0 || b < 0) return refuse();
  const auto first = static_cast<std::uint8_t>(a << 2 | b >> 4);
  if (c == PAD) {
    // One byte: "xy==", the low four bits of y unused.
    if (d != PAD || (b & 0x0f) != 0) return refuse();
    out.push_back(first);
    padded_ = true;
    return true;
  }
  if (c < 0) return refuse();
  const auto second = static_cast<std::uint8_t>((b & 0x0f) << 4 | c >> 2);
  if (d == PAD) {
    // Two bytes: "xyz=", the low two bits of z unused.
    if ((c & 0x03) != 0) return refuse();
    out.push_back(first);
    out.push_back(second);
    padded_ = true;
    return true;
  }
  if (d < 0) return refuse();
  out.push_back(first);
  out.push_back(second);
  out.push_back(static_cast<std::uint8_t>((c & 0x03) << 6 | d));
  return true;
}

bool Base64Stream::feed(std::string_view piece, std::vector<std::uint8_t>& out) {
  if (refused_) return false;
  if (piece.empty()) return true;
  // Nothing follows the padded group.
  if (padded_) return refuse();
  if (held_ > 0) {
    const std::size_t n = std::min(4 - held_, piece.size());
    std::copy_n(piece.begin(), n, group_.begin() + held_);
    held_ += n;
    piece.remove_prefix(n);
    if (held_ < 4) return true;
    held_ = 0;
    if (!take_group(group_.data(), out)) return false;
    if (padded_ && !piece.empty()) return refuse();
  }
  const std::size_t whole = piece.size() / 4 * 4;
  if (whole > 0) {
    const std::size_t old = out.size();
    out.resize(old + whole / 4 * 3);
    // Whole groups without "=" come out whole: three bytes each.
    const std::size_t read = beast_base64::decode(out.data() + old, piece.data(), whole).second;
    if (read != whole) {
      // Stopped at "=" or at a character out of the alphabet: the groups
      // before it are decoded, and its own group must be the text's last.
      const std::size_t group = read / 4 * 4;
      out.resize(old + group / 4 * 3);
      if (group + 4 != piece.size()) return refuse();
      return take_group(piece.data() + group, out);
    }
    piece.remove_prefix(whole);
  }
  std::copy(piece.begin(), piece.end(), group_.begin());
  held_ = piece.size();
  return true;
}

}  // namespace zunel
