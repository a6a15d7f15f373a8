#include <gtest/gtest.h>

#include "TextRules.h"

namespace qf {
namespace {

struct IntCase {
  const char* text;
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
  };
  for (const auto& c : cases) EXPECT_EQ(StrToIntDef(c.text, kDef), c.expected) << '"' << c.text << '"';
}

TEST(StrToIntDef, TextEndsAtNul) {
  EXPECT_EQ(StrToIntDef(std::string_view("12\0" "3", 4), kDef), 12);
  EXPECT_EQ(StrToIntDef(std::string_view("\0" "3", 2), kDef), kDef);
}

TEST(TextRules, TrimPosCopy) {
  EXPECT_EQ(Trim(" \t a b \r\n"), "a b");
  EXPECT_EQ(Trim("\t \t"), "");
  EXPECT_EQ(Trim("\xA0x"), "\xA0x");
  EXPECT_EQ(Pos("b", "abcb"), 2u);
  EXPECT_EQ(Pos("", "abc"), 0u);
  EXPECT_EQ(Pos("a", ""), 0u);
  EXPECT_EQ(Pos("B", "abc"), 0u);
  EXPECT_EQ(Copy("abcdef", 2, 3), "bcd");
  EXPECT_EQ(Copy("abcdef", 0, 2), "ab");
  EXPECT_EQ(Copy("abcdef", -5, 2), "ab");
  EXPECT_EQ(Copy("abcdef", 7, 1), "");
  EXPECT_EQ(Copy("abcdef", 2, 0), "");
  EXPECT_EQ(Copy("abcdef", 5, 100), "ef");
}

TEST(TextRules, CaseRulesFoldOnlyAsciiLetters) {
  EXPECT_TRUE(SameText(".MAP", ".map"));
  EXPECT_FALSE(SameText(".MAP", ".map "));
  EXPECT_FALSE(SameText("\xC9", "\xE9"));  // É and é in code page 1252
  EXPECT_TRUE(SameText("", ""));
  EXPECT_EQ(LowerCase("Stra\xDF" "e.MAP"), "stra\xDF" "e.map");
  EXPECT_EQ(LowerCase("\xC9T\xC9"), "\xC9t\xC9");
}

}  // namespace
}  // namespace qf
