#include "printing/base64_stream.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "security/crypto.h"
#include "security_test_support.h"

namespace zunel {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The text cut at `cuts` (ascending offsets), fed piece by piece: the
// bytes, or nothing when it is refused.
std::optional<Bytes> decode_cut(std::string_view text, const std::vector<std::size_t>& cuts) {
  Base64Stream stream;
  Bytes out;
  std::size_t at = 0;
  for (std::size_t cut : cuts) {
    if (!stream.feed(text.substr(at, cut - at), out)) return std::nullopt;
    at = cut;
  }
  if (!stream.feed(text.substr(at), out) || !stream.complete()) return std::nullopt;
  return out;
}

// Whole, cut once anywhere, cut twice anywhere and in pieces of one to five
// characters: the same verdict and the same bytes every way.
void expect_every_cut(const std::string& text, const std::optional<Bytes>& expected) {
  const auto check = [&](const std::vector<std::size_t>& cuts, const std::string& how) {
    const auto got = decode_cut(text, cuts);
    ASSERT_EQ(got.has_value(), expected.has_value()) << '"' << text << "\" " << how;
    if (got) {
      EXPECT_EQ(*got, *expected) << '"' << text << "\" " << how;
    }
  };
  check({}, "whole");
  for (std::size_t i = 0; i <= text.size(); ++i) {
    for (std::size_t j = i; j <= text.size() && text.size() < 40; ++j) {
      check({i, j}, "cut at " + std::to_string(i) + " and " + std::to_string(j));
    }
    check({i}, "cut at " + std::to_string(i));
  }
  for (std::size_t piece = 1; piece <= 5; ++piece) {
    std::vector<std::size_t> cuts;
    for (std::size_t at = piece; at < text.size(); at += piece) cuts.push_back(at);
    check(cuts, "in pieces of " + std::to_string(piece));
  }
}

TEST(Base64Stream, DecodesTheStandardForm) {
  const struct {
    std::string text;
    Bytes bytes;
  } rows[] = {
      {"", {}},
      {"AA==", {0}},
      {"/w==", {0xff}},
      {"QUI=", {'A', 'B'}},
      {"QUJD", {'A', 'B', 'C'}},
      {"QUJDRA==", {'A', 'B', 'C', 'D'}},
      {"G0BBCg==", {27, 64, 65, 10}},
      {"+/+/", {0xfb, 0xff, 0xbf}},
  };
  for (const auto& row : rows) expect_every_cut(row.text, row.bytes);

  // Every length from 0 to 50 and every byte value, as libsodium encodes them.
  Bytes data;
  for (int i = 0; i < 256; ++i) data.push_back(static_cast<std::uint8_t>(i * 7 + 3));
  for (std::size_t n = 0; n <= 50; ++n) {
    const std::string text = testing::base64(data.data() + 200 - n, n, sodium_base64_VARIANT_ORIGINAL);
    expect_every_cut(text, Bytes(data.begin() + 200 - static_cast<std::ptrdiff_t>(n), data.begin() + 200));
  }
  expect_every_cut(testing::base64(data.data(), data.size(), sodium_base64_VARIANT_ORIGINAL), data);
}

TEST(Base64Stream, RefusesAnythingElse) {
  for (const std::string& text : std::vector<std::string>{
           // Padding missing, short or where it cannot be.
           "Q", "QQ", "QUI", "QQ=", "QUJDR", "Q===", "====", "=QUJ", "QQ=A", "QUJD=", "QUJD====",
           // Something after the padded group.
           "QQ==QQ==", "QQ==A", "QUI=QUJD", "QQ===",
           // Unused bits that are not zero.
           "QR==", "QUJ=", "/x==", "//9=",
           // Other alphabets and characters, white space and line breaks.
           "QUJ-", "QUJ_", "QU.D", "QUJD\n", " QUJD", "QU JD", "QUJD\r\nQUJD", "QUJ\t", "QUJ\xc3\xa9", "G0B\xc6\xbcg==",
           std::string("QU\0D", 4)}) {
    expect_every_cut(text, std::nullopt);
  }
  // The fuzz target's independent decoder, libsodium behind the security
  // code's check, refuses bytes over 0x7f as well (libsodium alone reads
  // some of them as letters).
  EXPECT_FALSE(crypto::base64_decode("G0B\xc6\xbcg==").has_value());
  // A refusal is final.
  Base64Stream stream;
  Bytes out;
  EXPECT_FALSE(stream.feed("QU!D", out));
  EXPECT_FALSE(stream.feed("QUJD", out));
  EXPECT_FALSE(stream.complete());
}

}  // namespace
}  // namespace zunel
