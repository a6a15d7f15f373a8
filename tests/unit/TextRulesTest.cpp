#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "base/TextRules.h"

namespace qf {
namespace {

struct IntCase {
  std::string_view text;
  int32_t expected;  // kDef stands for "the default"
};
constexpr int32_t kDef = -777;

TEST(StrToIntDef, FollowsTheConversionRules) {
  const IntCase cases[] = {
      {"0x0045894F", 4557135}, {"0X45894f", 4557135}, {"$1F", 31}, {"x1F", 31}, {"X1F", 31},
      {"-0x10", -16}, {" 42", 42}, {"42 ", kDef}, {"", kDef}, {"   ", kDef}, {"0x", kDef},
      {"$", kDef}, {"-", kDef}, {"0x100000000", kDef}, {"0x000000001", 1}, {"0xFFFFFFFF", -1},
      {"0xx45894F", kDef}, {"0x$45894F", kDef}, {"00x1", kDef}, {"2147483648", kDef},
      {"-2147483648", INT32_MIN}, {"2147483647", INT32_MAX}, {"+7", 7}, {"- 7", kDef},
      {"\t7", kDef}, {"1.5", kDef}, {"--1", kDef}, {"0x80000000", INT32_MIN},
      {"21474836470", kDef}, {"000000000000012", 12},
      // More hexadecimal forms.
      {"-$10", -16}, {"+x10", 16}, {"$ 1", kDef}, {"0x 1", kDef}, {"0x1 ", kDef}, {"0xG", kDef},
      {"0x7FFFFFFF", INT32_MAX}, {"-0x80000000", INT32_MIN}, {"-0xFFFFFFFF", 1},
      {"0x0000000000ABCDEF", 0xABCDEF}, {"0xFFFFFFFF0", kDef}, {"$ffffffff", -1}, {"0xabcdef", 0xABCDEF},
      {"x", kDef}, {"X", kDef}, {"+", kDef}, {"+-1", kDef}, {"-+1", kDef}, {" -1", -1},
      // Decimal edges: the overflow test before each digit, the final limits.
      {"214748364", 214748364}, {"2147483649", kDef}, {"-2147483649", kDef}, {"0", 0}, {"-0", 0},
      {"00", 0}, {"1e3", kDef}, {"1,000", kDef}, {"12a", kDef}, {"\xB9", kDef},
      {"\r12", kDef}, {"12\n", kDef}, {"0x12\t", kDef},
  };
  for (const auto& c : cases) EXPECT_EQ(StrToIntDef(c.text, kDef), c.expected) << '"' << c.text << '"';
}

TEST(StrToIntDef, TextEndsAtNul) {
  EXPECT_EQ(StrToIntDef(std::string_view("12\0" "3", 4), kDef), 12);
  EXPECT_EQ(StrToIntDef(std::string_view("\0" "3", 2), kDef), kDef);
  EXPECT_EQ(StrToIntDef(std::string_view("0x1F\0zz", 7), kDef), 31);
  EXPECT_EQ(StrToIntDef(std::string_view("0x\0" "1F", 5), kDef), kDef);
}

// The offsets of a MAP file are read as "0x" followed by their digits.
TEST(HexDigitsToIntDef, AgreesWithTheHexadecimalConversion) {
  const IntCase cases[] = {
      {"A10", 0xA10}, {"00000A10", 0xA10}, {"a1c", 0xA1C}, {"0", 0}, {"", kDef}, {"G1", kDef},
      {":A10", kDef}, {"80000000", INT32_MIN}, {"FFFFFFFF", -1}, {"000000000FFFFFFF", 0x0FFFFFFF},
      {"100000000", kDef}, {"1F ", kDef}, {" 1F", kDef}, {"1\t", kDef}, {"$1", kDef}, {"x1", kDef},
      {"-1", kDef}, {"+1", kDef}, {"0x1", kDef}, {"1H", kDef},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HexDigitsToIntDef(c.text, kDef), c.expected) << '"' << c.text << '"';
    EXPECT_EQ(HexDigitsToIntDef(c.text, kDef), StrToIntDef("0x" + std::string(c.text), kDef)) << c.text;
  }
}

TEST(TextRules, TrimRemovesCodesUpTo32FromBothEnds) {
  const struct {
    std::string_view text, expected;
  } cases[] = {
      {" \t a b \r\n", "a b"}, {"\t \t", ""}, {"", ""}, {"\xA0x", "\xA0x"}, {"x\xA0", "x\xA0"},
      {"\x80", "\x80"}, {"!", "!"}, {std::string_view("\0a\0", 3), "a"}, {"\x1F" "a\x7F", "a\x7F"},
      {"a  b", "a  b"}, {"\x01\x02\x20", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Trim(c.text), c.expected);
    EXPECT_EQ(TrimView(c.text), c.expected);
  }
}

TEST(TextRules, PositionSearch) {
  const struct {
    std::string_view needle, text;
    std::size_t expected;
  } cases[] = {
      {"b", "abcb", 2}, {"", "abc", 0}, {"a", "", 0}, {"", "", 0}, {"B", "abc", 0}, {"cb", "abcb", 3},
      {"abcd", "abc", 0}, {"(", "Line numbers for X(Y)", 19}, {")", "a)(b)", 2},
  };
  for (const auto& c : cases) EXPECT_EQ(Pos(c.needle, c.text), c.expected) << c.needle << " in " << c.text;
}

TEST(TextRules, SubstringCopy) {
  const struct {
    long long start, count;
    std::string_view expected;
  } cases[] = {
      {2, 3, "bcd"}, {0, 2, "ab"}, {-5, 2, "ab"}, {7, 1, ""}, {2, 0, ""}, {2, -1, ""},
      {5, 100, "ef"}, {6, 1, "f"}, {1, 6, "abcdef"}, {1, INT32_MAX, "abcdef"}, {INT32_MAX, 1, ""},
      {2, (1LL << 32) + 1, "bcdef"}, {(1LL << 32) + 1, 1, ""}, {-(1LL << 40), 1, "a"},
  };
  for (const auto& c : cases) EXPECT_EQ(Copy("abcdef", c.start, c.count), c.expected) << c.start << ',' << c.count;
  EXPECT_EQ(Copy("", 1, 1), "");
}

TEST(TextRules, CaseRulesFoldOnlyAsciiLetters) {
  EXPECT_TRUE(SameText(".MAP", ".map"));
  EXPECT_TRUE(SameText(".mAp", ".MaP"));
  EXPECT_FALSE(SameText(".MAP", ".map "));
  EXPECT_FALSE(SameText("\xC9", "\xE9"));  // É and é in code page 1252
  EXPECT_FALSE(SameText("@", "`"));        // neighbours of the letter ranges
  EXPECT_FALSE(SameText("[", "{"));
  EXPECT_TRUE(SameText("", ""));
  EXPECT_TRUE(SameText("x", "X"));
  EXPECT_EQ(LowerCase("Stra\xDF" "e.MAP"), "stra\xDF" "e.map");
  EXPECT_EQ(LowerCase("\xC9T\xC9"), "\xC9t\xC9");
  EXPECT_EQ(LowerCase("@AZ[`az{"), "@az[`az{");
}

TEST(TextRules, StartsWithComparesExactly) {
  EXPECT_TRUE(StartsWith("Line numbers for X", "Line numbers"));
  EXPECT_FALSE(StartsWith(" Line numbers for X", "Line numbers"));
  EXPECT_FALSE(StartsWith("line numbers for X", "Line numbers"));
  EXPECT_FALSE(StartsWith("Line number", "Line numbers"));
}

}  // namespace
}  // namespace qf
