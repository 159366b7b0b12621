#pragma once
// Base64 text decoded as it arrives, in pieces cut anywhere (inside a group
// of four characters too). Held to the standard form, as the agent's other
// readers of base64 hold it: the standard alphabet, the padding the last
// group needs and no "=" anywhere else, the unused bits of a padded group
// zero, and nothing else (no white space, no line breaks). At most three
// characters are kept between two pieces.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace zunel {

class Base64Stream {
 public:
  // Appends the bytes of `piece`, the text's next characters, to `out`.
  // False when the text so far is no longer base64; that refusal is final.
  bool feed(std::string_view piece, std::vector<std::uint8_t>& out);

  // Whether the text read so far is whole base64: no group left open.
  bool complete() const { return !refused_ && held_ == 0; }

 private:
  bool take_group(const char* group, std::vector<std::uint8_t>& out);
  bool refuse() {
    refused_ = true;
    return false;
  }

  std::array<char, 4> group_{};  // the start of a group cut by a piece's end
  std::size_t held_ = 0;
  bool padded_ = false;  // the last group, with its "=", has been read
  bool refused_ = false;
};

}  // namespace zunel
