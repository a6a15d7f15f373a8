#include <gtest/gtest.h>

#include <string>

#include "map/LookupTexts.h"

namespace qf {
namespace {

constexpr std::string_view kTable =
    "Line numbers for Engine(Engine.src) segment CODE\r\n\r\n"
    "    12 0001:00000A10    13 0001:00000A1C    14 0001:0000B0\r\n";

TEST(LookupTexts, StatusLine) {
  TMapFile map;
  EXPECT_EQ(LoadStatusText(map, ""), "NOT Loaded (error)");
  EXPECT_EQ(LoadStatusText(map, "Demo v2.1"), "NOT Loaded (error)");
  map.LoadFromText(kTable);
  EXPECT_EQ(LoadStatusText(map, ""), "Loaded successfully (3 items)");
  EXPECT_EQ(LoadStatusText(map, "Demo v2.1"), "Demo v2.1 : Loaded successfully (3 items)");
  map.LoadFromText("no sections");
  EXPECT_EQ(LoadStatusText(map, ""), "NOT Loaded (error)");
}

TEST(LookupTexts, SearchAnswers) {
  TMapFile map;
  map.LoadFromText(kTable);
  const struct {
    std::string_view typed;
    SearchAnswer::Kind kind;
    std::string_view text;
  } cases[] = {
      {"0x00401A10", SearchAnswer::Found, "Crash found in Engine.src at line 12"},
      {"401A1C", SearchAnswer::Found, "Crash found in Engine.src at line 13"},
      {"00401A15", SearchAnswer::Found, "Crash found in Engine.src at line 12"},
      {"0x004010B0", SearchAnswer::Found, "Crash found in Engine.src at line 14"},
      {"0x00401A1D", SearchAnswer::NotFound, "Crash Address not found in MAP file"},
      {"0x00400FFF", SearchAnswer::Invalid, "Invalid Crash Address"},
      {"zz", SearchAnswer::Invalid, "Invalid Crash Address"},
      {"4", SearchAnswer::Silent, ""},
      {"", SearchAnswer::Silent, ""},
  };
  for (const auto& c : cases) {
    const SearchAnswer answer = AnswerSearch(map, c.typed);
    EXPECT_EQ(answer.kind, c.kind) << c.typed;
    EXPECT_EQ(answer.text, c.text) << c.typed;
  }
}

TEST(LookupTexts, NotLoadedAnswersLoadFirstForAnyText) {
  TMapFile map;
  for (std::string_view typed : {"", "4", "0x00401A10", "zz"}) {
    const SearchAnswer answer = AnswerSearch(map, typed);
    EXPECT_EQ(answer.kind, SearchAnswer::LoadFirst) << typed;
    EXPECT_EQ(answer.text, "Please load a MAP file first") << typed;
  }
}

TEST(LookupTexts, SourceNamesAreWrittenAsStored) {
  TMapFile map;
  map.LoadFromText(
      "Line numbers for P(C:\\Program Files (x86)\\%d\\\xE9t\xE9.dpr) segment .text\r\n\r\n 7 0001:10\r\n\r\n"
      "Line numbers for Q segment .text\r\n\r\n 8 0001:20\r\n");
  EXPECT_EQ(AnswerSearch(map, "0x00401010").text,
            "Crash found in C:\\Program Files (x86)\\%d\\\xE9t\xE9.dpr at line 7");
  EXPECT_EQ(AnswerSearch(map, "0x00401020").text, "Crash found in Unknown file at line 8");
}

}  // namespace
}  // namespace qf
