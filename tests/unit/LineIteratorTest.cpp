#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/LineIterator.h"

namespace qf {
namespace {

using Lines = std::vector<std::string>;

Lines Split(std::string_view text) {
  Lines lines;
  for (LineIterator it(text); !it.AtEnd(); ++it) lines.emplace_back(*it);
  return lines;
}

TEST(LineIterator, LineEnds) {
  const struct {
    std::string_view text;
    Lines expected;
  } cases[] = {
      {"", {}},
      {"A", {"A"}},
      {"A\r\nB", {"A", "B"}},
      {"A\r\nB\r\n", {"A", "B"}},         // a final line end adds no line
      {"A\nB\n", {"A", "B"}},
      {"A\rB\r", {"A", "B"}},
      {"A\r\nB\n\rC", {"A", "B", "", "C"}},  // LF CR is two line ends
      {"\n", {""}},
      {"\r\n", {""}},
      {"\n\n", {"", ""}},
      {"\r\r\n", {"", ""}},
      {"\r\n\r\n\r\n", {"", "", ""}},
      {"\n\r", {"", ""}},
      {"A\r\r\nB", {"A", "", "B"}},
      {"A\n\nB", {"A", "", "B"}},
      {" \tA \t\r\n  ", {" \tA \t", "  "}},  // blanks and tabs are kept
      {"A\rB\nC\r\nD", {"A", "B", "C", "D"}},
      {"x\ry\rz\n\n", {"x", "y", "z", ""}},
      {"\xEF\xBB\xBF" "A\r\n", {"\xEF\xBB\xBF" "A"}},  // a byte-order mark stays in the first line
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Split(c.text), c.expected) << testing::PrintToString(std::string(c.text));
  }
}

TEST(LineIterator, LinesAreViewsIntoTheText) {
  const std::string text = "ab\r\ncd";
  LineIterator it(text);
  EXPECT_EQ((*it).data(), text.data());
  ++it;
  EXPECT_EQ((*it).data(), text.data() + 4);
}

TEST(LineIterator, HasFollowingLooksAheadWithoutMoving) {
  const std::string text = "h\r\n\r\nd\r\n";
  LineIterator it(text);
  EXPECT_TRUE(it.HasFollowing(0));
  EXPECT_TRUE(it.HasFollowing(2));
  EXPECT_FALSE(it.HasFollowing(3));
  EXPECT_EQ(*it, "h");
  ++it;
  EXPECT_TRUE(it.HasFollowing(1));
  EXPECT_FALSE(it.HasFollowing(2));
  ++it;
  ++it;
  EXPECT_TRUE(it.AtEnd());
  ++it;  // stepping past the end stays at the end
  EXPECT_TRUE(it.AtEnd());
}

TEST(LineIterator, LongTextWithMixedEnds) {
  // The line ends are searched ahead and remembered: mix them over a text long
  // enough that the remembered positions fall far behind and far ahead.
  std::string text;
  Lines expected;
  const char* ends[] = {"\r\n", "\n", "\r", "\n\r"};
  for (int i = 0; i < 500; ++i) {
    const std::string line(static_cast<std::size_t>(i % 37 + 1), static_cast<char>('a' + i % 26));
    text += line;
    text += ends[(i * 7) % 4];
    expected.push_back(line);
    if ((i * 7) % 4 == 3) expected.emplace_back();  // the CR after LF closes an empty line
  }
  EXPECT_EQ(Split(text), expected);
}

}  // namespace
}  // namespace qf
