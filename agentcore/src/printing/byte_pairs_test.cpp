#include "printing/byte_pairs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zunel {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Row {
  const char* text;
  Bytes values;      // decoded
  std::size_t used;  // characters taken
  bool unusual;      // stopped at something for the parser
};

// Each row alone, where the exact scan reads it, and after plain pairs of
// every length up to 40 characters, so that the sixteen-character windows
// meet its break at every offset.
TEST(BytePairs, TakesPlainPairsAndStopsWhereThePairIsNotPlainOrNotDecided) {
  const Row rows[] = {
      {"", {}, 0, false},
      {"0,1,9,10,99,100,199,200,249,250,255,0,7", {0, 1, 9, 10, 99, 100, 199, 200, 249, 250, 255, 0}, 38, false},
      // The end of the text: the pair there is not decided yet.
      {"1", {}, 0, false},
      {"25", {}, 0, false},
      {"255", {}, 0, false},
      {"255,", {}, 0, false},
      {"0,", {}, 0, false},
      {"1,2", {1}, 2, false},
      // What the parser must judge: the closing bracket, white space, signs,
      // fractions, exponents, leading zeros, values over 255, empty elements.
      {"1,2]", {1}, 2, true},
      {"]", {}, 0, true},
      {"1,2 ,3,", {1}, 2, true},
      {"1, 2,3,", {}, 0, true},
      {" 1,2,", {}, 0, true},
      {"1,-1,2,", {}, 0, true},
      {"-0,1,2,", {}, 0, true},
      {"1,1.5,2,", {1}, 2, true},
      {"1,1e1,2,", {1}, 2, true},
      {"1,01,2,", {1}, 2, true},
      {"00,1,", {}, 0, true},
      {"1,256,2,", {1}, 2, true},
      {"1,260,2,", {1}, 2, true},
      {"1,300,2,", {1}, 2, true},
      {"1,999,2,", {1}, 2, true},
      {"1,1000,2,", {1}, 2, true},
      {"1,,2,", {}, 0, true},
      {"1,\"2\",3,", {}, 0, true},
      {"1,2,null,", {1}, 2, true},
  };
  for (const Row& row : rows) {
    // A pair before the row is decided only by a digit after it.
    const bool digit_first = row.text[0] >= '0' && row.text[0] <= '9';
    for (std::size_t lead = 0; lead <= (digit_first ? 40 : 0); ++lead) {
      if (lead == 1) continue;
      // `lead` characters of plain pairs, "7," and "88,".
      std::string text;
      Bytes expected = {42};  // what `values` held before: appended to, never overwritten
      while (text.size() < lead) {
        const std::size_t left = lead - text.size();
        const bool three = left == 3 || (left >= 5 && text.size() % 5 == 0);
        text += three ? "88," : "7,";
        expected.push_back(three ? 88 : 7);
      }
      text += row.text;
      expected.insert(expected.end(), row.values.begin(), row.values.end());
      Bytes values = {42};
      const PairScan scan = scan_pairs(text, values);
      EXPECT_EQ(values, expected) << text;
      EXPECT_EQ(scan.used, lead + row.used) << text;
      EXPECT_EQ(scan.unusual, row.unusual) << text;
    }
  }
}

}  // namespace
}  // namespace zunel
