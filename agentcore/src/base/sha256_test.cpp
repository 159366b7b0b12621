#include "base/sha256.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "base/hex.h"

namespace zunel {
namespace {

struct KnownAnswer {
  const char* name;
  std::optional<std::string> key;  // HMAC when present
  std::string message;
  const char* digest_hex;
};

std::string repeat(char c, std::size_t n) { return std::string(n, c); }

std::string bytes_1_to_25() {
  std::string key;
  for (char c = 1; c <= 25; ++c) key.push_back(c);
  return key;
}

// SHA-256 examples of FIPS 180-4 (and its long message), HMAC-SHA-256 test
// cases of RFC 4231 (case 5, a truncated output, is not a form the agent uses).
const std::vector<KnownAnswer> ANSWERS = {
    {"sha_empty", std::nullopt, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"sha_abc", std::nullopt, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"sha_448_bits", std::nullopt, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"sha_896_bits", std::nullopt,
     "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopq"
     "rstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    {"sha_million_a", std::nullopt, repeat('a', 1'000'000),
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    {"hmac_case_1", repeat('\x0b', 20), "Hi There", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
    {"hmac_case_2", "Jefe", "what do ya want for nothing?",
     "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
    {"hmac_case_3", repeat('\xaa', 20), repeat('\xdd', 50),
     "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
    {"hmac_case_4", bytes_1_to_25(), repeat('\xcd', 50),
     "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
    {"hmac_case_6_long_key", repeat('\xaa', 131), "Test Using Larger Than Block-Size Key - Hash Key First",
     "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    {"hmac_case_7_long_key_and_data", repeat('\xaa', 131),
     "This is a test using a larger than block-size key and a larger than block-size data. The key needs to be "
     "hashed before being used by the HMAC algorithm.",
     "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
};

// Uneven piece sizes that cut the message anywhere relative to the 64-byte
// blocks, with an empty piece among them.
constexpr std::size_t PIECES[] = {1, 0, 63, 2, 64, 65, 7, 1000, 4093, 127, 65536};

TEST(Sha256, GivesTheKnownAnswersWholeAndInUnevenPieces) {
  for (const KnownAnswer& a : ANSWERS) {
    SCOPED_TRACE(a.name);
    if (a.key) {
      const std::vector<std::uint8_t> key(a.key->begin(), a.key->end());
      EXPECT_EQ(to_hex(hmac_sha256(key, a.message)), a.digest_hex);
      continue;
    }
    EXPECT_EQ(to_hex(sha256(a.message)), a.digest_hex);
    Sha256 incremental;
    std::string_view rest = a.message;
    for (std::size_t i = 0; !rest.empty(); ++i) {
      const std::size_t n = std::min(rest.size(), PIECES[i % std::size(PIECES)]);
      incremental.update(rest.substr(0, n));
      rest.remove_prefix(n);
    }
    // A moved-to object carries on the same digest.
    Sha256 moved = std::move(incremental);
    EXPECT_EQ(to_hex(moved.finish()), a.digest_hex);
  }
}

}  // namespace
}  // namespace zunel
