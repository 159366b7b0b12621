#include "base/utf8.h"

#include <gtest/gtest.h>

namespace zunel {
namespace {

TEST(Utf8, ValidatesWellFormedTextOnly) {
  const char* good[] = {"", "plain", "código", "→✓", "\xf0\x9f\x91\x8d", "\xef\xbf\xbf"};
  for (const char* g : good) EXPECT_TRUE(is_valid_utf8(g)) << g;
  const char* bad[] = {
      "\x80",             // lone continuation byte
      "\xc3",             // truncated
      "\xc0\xaf",         // overlong slash
      "\xe0\x80\xaf",     // overlong, three bytes
      "\xed\xa0\x80",     // surrogate U+D800
      "\xf4\x90\x80\x80", // above U+10FFFF
      "\xff",             // never valid
      "ok\xe2\x86",       // truncated at the end
  };
  for (const char* b : bad) EXPECT_FALSE(is_valid_utf8(b)) << b;
  // The same faults after and between long ASCII runs, at every alignment.
  for (const char* b : bad) {
    for (std::size_t pad = 0; pad < 9; ++pad) {
      const std::string ascii(pad + 16, 'a');
      EXPECT_FALSE(is_valid_utf8(ascii + b)) << pad;
      EXPECT_FALSE(is_valid_utf8(ascii + b + ascii)) << pad;
      EXPECT_TRUE(is_valid_utf8(ascii + "\xc3\xa9" + ascii)) << pad;
    }
  }
  // Fed a byte at a time, so every sequence is cut, the verdicts are the same.
  const auto bytewise = [](std::string_view text) {
    Utf8Validator validator;
    for (const char& c : text) validator.feed(std::string_view(&c, 1));
    return validator.finish();
  };
  for (const char* g : good) EXPECT_TRUE(bytewise(g)) << g;
  for (const char* b : bad) EXPECT_FALSE(bytewise(b)) << b;
}

TEST(Utf8, DecodesOneCharacterAndSpansAMalformedSequence) {
  const struct {
    std::string_view text;
    std::optional<char32_t> scalar;
    std::size_t length;
  } cases[] = {
      {"a", U'a', 1},
      {"\xc3\xa9x", U'\u00e9', 2},
      {"\xe2\x86\x92", U'\u2192', 3},
      {"\xf0\x9f\x91\x8d", U'\U0001f44d', 4},
      {"\x80\x80", std::nullopt, 1},          // continuation byte without a start
      {"\xc3" "A", std::nullopt, 1},           // cut short by a non-continuation byte
      {"\xe2\x86", std::nullopt, 2},          // cut short by the end
      {"\xe0\x83\xa9", std::nullopt, 3},      // overlong
      {"\xed\xa0\x80", std::nullopt, 3},      // surrogate
      {"\xf4\x90\x80\x80\x80", std::nullopt, 4},  // past U+10FFFF, then a stray byte
      {"\xc0\xaf", std::nullopt, 1},          // a byte that never starts a sequence
  };
  for (const auto& c : cases) {
    const Utf8Char decoded = decode_utf8_char(c.text, 0);
    EXPECT_EQ(decoded.scalar, c.scalar) << c.text;
    EXPECT_EQ(decoded.length, c.length) << c.text;
  }
}

TEST(Utf8, FirstCharsCountsCharactersNotBytes) {
  const struct {
    std::string_view text;
    std::size_t max;
    std::string_view prefix;
  } cases[] = {
      {"Ñandú", 3, "Ñan"}, {"Ñandú", 5, "Ñandú"}, {"Ñandú", 9, "Ñandú"},
      {"👍👍", 1, "👍"},   {"abc", 0, ""},         {"\xe2\x86" "ab", 2, "\xe2\x86" "a"},
  };
  for (const auto& c : cases) EXPECT_EQ(first_chars(c.text, c.max), c.prefix) << c.text;
}

TEST(Utf8, ConvertsToAndFromUtf16IncludingSurrogatePairs) {
  const std::string text = "Ñandú → 👍";
  const std::u16string wide = utf8_to_utf16(text);
  EXPECT_EQ(wide, u"Ñandú → 👍");
  EXPECT_EQ(utf16_to_utf8(wide), text);
}

TEST(Utf8, ReplacesWhatCannotBeConverted) {
  const char16_t lone_high[] = {u'a', 0xd800, u'b', 0};
  EXPECT_EQ(utf16_to_utf8(lone_high), "a\xef\xbf\xbd" "b");
  const char16_t lone_low_at_end[] = {u'a', 0xdc00, 0};
  EXPECT_EQ(utf16_to_utf8(lone_low_at_end), "a\xef\xbf\xbd");
  EXPECT_EQ(utf8_to_utf16("a\xff" "b"), u"a\xfffd" "b");
}

TEST(Utf8, CompletePrefixKeepsAnUnfinishedLastCharacterBack) {
  const struct {
    const char* bytes;
    std::size_t prefix;
  } cases[] = {
      {"", 0},
      {"abc", 3},
      {"impresi\xc3", 7},              // two-byte sequence cut after its lead
      {"impresi\xc3\xb3", 9},         // the same, finished
      {"a\xe2\x86", 1},               // arrow cut after two of three bytes
      {"a\xe2\x86\x92", 4},
      {"\xf0\x9f\x91", 0},           // four-byte sequence cut after three
      {"\xf0\x9f\x91\x8d", 4},
      {"a\x80", 2},                    // stray continuation byte: malformed, passed on
      {"a\xff", 2},
  };
  for (const auto& c : cases) EXPECT_EQ(utf8_complete_prefix(c.bytes), c.prefix) << c.bytes;
}

TEST(Utf8, TrimsUnicodeWhiteSpaceAtBothEndsOnly) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"abc", "abc"},
      {"abc\n", "abc"},
      {" \t\r\nabc \r\n", "abc"},
      {"\xc2\xa0" "abc" "\xe3\x80\x80", "abc"},  // no-break space, ideographic space
      {"a b", "a b"},
      {"   ", ""},
      {"", ""},
      {"\xc3\xa9 ", "\xc3\xa9"},  // a multi-byte letter at the end stays
      // Malformed sequences are not white space: trimming stops at them.
      {" \xff abc \x80 ", "\xff abc \x80"},
      {" \xe3\x80 ", "\xe3\x80"},          // an ideographic space cut short
      {"abc \xa0", "abc \xa0"},             // a stray continuation byte after a space
      {"\xed\xa0\x80 ", "\xed\xa0\x80"},  // a surrogate
  };
  for (const auto& c : cases) EXPECT_EQ(trim_unicode_space(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace zunel
