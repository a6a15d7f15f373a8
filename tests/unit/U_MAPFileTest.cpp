#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "base/Errors.h"
#include "TestFiles.h"
#include "base/TextRules.h"
#include "TableEntries.h"
#include "map/U_MAPFile.h"

namespace qf {
namespace {

using namespace std::string_view_literals;

using test::Entry;
using test::Entries;
using test::EntriesOf;

Entries ParsedLine(std::string_view text) {
  TMapFile map;
  map.ParseLineNumbers(text, "S");
  return EntriesOf(map);
}

Entries Loaded(std::string_view text, bool* loaded = nullptr) {
  TMapFile map;
  map.LoadFromText(text);
  if (loaded) *loaded = map.Loaded();
  EXPECT_EQ(map.Loaded(), map.Count() > 0);
  return EntriesOf(map);
}

// ---------------------------------------------------------------- data lines

TEST(ParseLineNumbers, DataLinesAndTheirEntries) {
  const struct {
    std::string_view text;
    Entries expected;
  } cases[] = {
      {"12 0001:00000A10", {{"S", 12, 0xA10}}},
      {"12 A10", {{"S", 12, 0xA10}}},                 // no segment
      {"12 :A10", {{"S", 12, 0}}},                    // ":" at position 1 stays and fails
      {"x 0001:10", {{"S", 0, 0x10}}},
      {"12 0001:", {{"S", 12, 0}}},
      {"12 0001:G1", {{"S", 12, 0}}},
      {"12 0001:10 13", {{"S", 12, 0x10}, {"S", 13, 0}}},  // odd number of tokens
      {"12", {{"S", 12, 0}}},
      {"12    0001:A10     13 0001:a1c", {{"S", 12, 0xA10}, {"S", 13, 0xA1C}}},
      // A tab joins its neighbours into one token.
      {"12\t0001:A10 13 0001:A1C", {{"S", 0, 0x13}, {"S", 0, 0}}},
      {"12 0001:A10\t13 0001:A1C", {{"S", 12, 0}, {"S", 0, 0}}},
      {"12 0001:80000000", {{"S", 12, INT32_MIN}}},
      {"12 0001:FFFFFFFF", {{"S", 12, -1}}},
      {"12 0001:100000000", {{"S", 12, 0}}},         // nine significant digits
      {"12 0001:000000000A10", {{"S", 12, 0xA10}}},  // leading zeros are free
      {"12 0001:0002:A10", {{"S", 12, 0}}},          // only the first ":" is cut
      {"12 0x10", {{"S", 12, 0}}},
      {"12 $10", {{"S", 12, 0}}},
      {"-3 0001:10", {{"S", -3, 0x10}}},
      {"2147483648 0001:10", {{"S", 0, 0x10}}},
      {"$1F 0001:10", {{"S", 31, 0x10}}},            // the line number uses the full conversion
      {"12 ABC:10", {{"S", 12, 0x10}}},              // the segment is never looked at
      {"", {}},
      // The usual width (segment, ":", eight digits) and its near misses.
      {"12 0001:0006BB98", {{"S", 12, 0x6BB98}}},
      {"12 0001:0006bb98 13", {{"S", 12, 0x6BB98}, {"S", 13, 0}}},
      {"12 00:1:0006BB98", {{"S", 12, 0}}},   // the first ":" decides
      {"12 :001:0006BB98", {{"S", 12, 0}}},
      {"12 0001:0006BB9G", {{"S", 12, 0}}},
      {"12 0001:0006BB98:", {{"S", 12, 0}}},
      {"12 0001:0006BB980", {{"S", 12, 0x6BB980}}},  // leading zeros are free
      {"12 0001:1006BB980", {{"S", 12, 0}}},         // nine significant digits
      {"12 0001:0006BB9", {{"S", 12, 0x6BB9}}},
      {"12 ABCD:FFFFFFFF", {{"S", 12, -1}}},
      {"12 0001:1F\0zz 13 0001:20"sv, {{"S", 12, 0x1F}, {"S", 13, 0x20}}},  // a conversion ends at a NUL
      {"    27 0001:0006BB98    28 0001:0006BBAB    29 0001:0006BBC3    30 0001:0006BC0F",
       {{"S", 27, 0x6BB98}, {"S", 28, 0x6BBAB}, {"S", 29, 0x6BBC3}, {"S", 30, 0x6BC0F}}},
      // The linkers' columns (a number right-aligned in six) and their near misses.
      {"123456 0001:0006BB98     7 0001:0006BBAB", {{"S", 123456, 0x6BB98}, {"S", 7, 0x6BBAB}}},
      {"1 0001:00000010 1 2 3 0001:00000020", {{"S", 1, 0x10}, {"S", 1, 2}, {"S", 3, 0x20}}},
      {"1 0001:00000010   x12 0001:00000020", {{"S", 1, 0x10}, {"S", 18, 0x20}}},
      {"1 0001:00000010     2 0001:0000002G", {{"S", 1, 0x10}, {"S", 2, 0}}},
      {"1 0001:00000010     2 00:1:00000020", {{"S", 1, 0x10}, {"S", 2, 0}}},
      {"1 0001:00000010     2 0001:00000020123456 0001:00000030", {{"S", 1, 0x10}, {"S", 2, 0x20123456}, {"S", 0, 0}}},
  };
  for (const auto& c : cases) EXPECT_EQ(ParsedLine(c.text), c.expected) << '"' << c.text << '"';
}

TEST(ParseLineNumbers, AppendsBehindWhatIsThere) {
  TMapFile map;
  map.AddEntry("A", 1, 2);
  map.ParseLineNumbers("3 4", "B");
  map.ParseLineNumbers("5 6 7 8", "A");
  EXPECT_EQ(EntriesOf(map), (Entries{{"A", 1, 2}, {"B", 3, 4}, {"A", 5, 6}, {"A", 7, 8}}));
  EXPECT_FALSE(map.Loaded());  // only a load sets the flag
}

// ---------------------------------------------------------------- headers

TEST(ExtractSourceFile, NameBetweenTheParentheses) {
  const struct {
    std::string_view header, expected;
  } cases[] = {
      {"Line numbers for Engine(Engine.src) segment CODE", "Engine.src"},
      {"Line numbers for X", "Unknown file"},
      {"Line numbers for X(Y", "Unknown file"},
      {"Line numbers for X)Y", "Unknown file"},
      {"Line numbers for X) (Y", ""},
      {"Line numbers for X) (Y) segment", ""},
      {"Line numbers for X()", ""},
      {"Line numbers for X(My Unit.pas) segment .text", "My Unit.pas"},
      {"Line numbers for X(Y) segment (Z)", "Y"},
      {"Line numbers for X(Y)) segment", "Y"},
      {"Line numbers for x(\xE9t\xE9.PAS) segment", "\xE9t\xE9.PAS"},
      // Parentheses inside the name: the ")" that closes the first "(" ends it.
      {"Line numbers for Project1(C:\\Program Files (x86)\\Borland\\Projects\\Project1.dpr) segment .text",
       "C:\\Program Files (x86)\\Borland\\Projects\\Project1.dpr"},
      {"Line numbers for X(a(b)c(d)e) seg", "a(b)c(d)e"},
      {"Line numbers for X(a((b))) seg", "a((b))"},
      // A first "(" that is never closed ends at the first ")" after it.
      {"Line numbers for X((Y) seg", "(Y"},
      {"Line numbers for X(a (b) c", "a (b"},
  };
  for (const auto& c : cases) EXPECT_EQ(TMapFile::ExtractSourceFile(c.header), c.expected) << c.header;
}

// ---------------------------------------------------------------- reading

constexpr std::string_view kEngineSection =
    "Line numbers for Engine(Engine.src) segment CODE\r\n"
    "\r\n"
    "    12 0001:00000A10    13 0001:00000A1C    14 0001:0000B0\r\n"
    "\r\n";

TEST(LoadFromText, ReadsOnlyTheLineNumberSections) {
  const struct {
    const char* what;
    std::string_view text;
    Entries expected;
  } cases[] = {
      {"empty text", "", {}},
      {"no header", " 0001:00000A10 Engine.Start\r\n\r\n    12 0001:00000A10\r\n", {}},
      {"the example section", kEngineSection,
       {{"Engine.src", 12, 0xA10}, {"Engine.src", 13, 0xA1C}, {"Engine.src", 14, 0xB0}}},
      {"indented header",
       " Line numbers for A(a.pas) segment .text\r\n\r\n    1 0001:10\r\n\r\n", {}},
      {"header in lower case", "line numbers for A(a.pas)\r\n\r\n    1 0001:10\r\n", {}},
      {"line after the header is discarded even with pairs",
       "Line numbers for A(a.pas)\r\n    1 0001:10\r\n    2 0001:20\r\n", {{"a.pas", 2, 0x20}}},
      {"blank line inside a section",
       "Line numbers for A(a.pas)\r\n\r\n    1 0001:10\r\n   \r\n\t\r\n    2 0001:20\r\n\r\n    3 0001:30\r\n",
       {{"a.pas", 1, 0x10}, {"a.pas", 2, 0x20}}},
      {"empty line ends the section",
       "Line numbers for A(a.pas)\r\n\r\n    1 0001:10\r\n\r\n    2 0001:20\r\nBound resource files\r\n",
       {{"a.pas", 1, 0x10}}},
      {"header without parentheses",
       "Line numbers for A segment .text\r\n\r\n    1 0001:10\r\n", {{"Unknown file", 1, 0x10}}},
      {"header with a closing parenthesis first",
       "Line numbers for X) (Y\r\n\r\n    1 0001:10\r\n", {{"", 1, 0x10}}},
      {"sections keep the order of the file, duplicates kept",
       "Line numbers for B(b.pas)\r\n\r\n  9 0001:90  9 0001:90\r\n\r\n"
       "Line numbers for A(a.pas)\r\n\r\n  1 0001:10\r\n",
       {{"b.pas", 9, 0x90}, {"b.pas", 9, 0x90}, {"a.pas", 1, 0x10}}},
      {"header right after data lines is read as data",
       "Line numbers for A(a.pas)\r\n\r\n  1 0001:10\r\nLine numbers for B(b.pas) segment .text\r\n\r\n  2 0001:20\r\n",
       {{"a.pas", 1, 0x10}, {"a.pas", 0, 0}, {"a.pas", 0, 0}, {"a.pas", 0, 0}}},
      {"two headers in a row: the second is the discarded line",
       "Line numbers for A(a.pas)\r\nLine numbers for B(b.pas)\r\n  1 0001:10\r\n", {{"a.pas", 1, 0x10}}},
      {"header with exactly two lines after it", "Line numbers for A(a.pas)\r\n\r\n  1 0001:10",
       {{"a.pas", 1, 0x10}}},
      {"data lines are trimmed of tabs and controls",
       "Line numbers for A(a.pas)\r\n\r\n\t 1 0001:10 \t\x01\r\n", {{"a.pas", 1, 0x10}}},
      {"LF line ends", "Line numbers for A(a.pas)\n\n  1 0001:10\n\nLine numbers for B(b.pas)\n\n  2 0001:20\n",
       {{"a.pas", 1, 0x10}, {"b.pas", 2, 0x20}}},
      {"CR line ends", "Line numbers for A(a.pas)\r\r  1 0001:10\r\r", {{"a.pas", 1, 0x10}}},
      {"LF CR closes an empty line", "Line numbers for A(a.pas)\n\r  1 0001:10\n\r  2 0001:20\n",
       {{"a.pas", 1, 0x10}}},
      {"NUL ends the text", "Line numbers for A(a.pas)\r\n\r\n  1 0001:10  2 0001:20\0  3 0001:30\r\n"sv,
       {{"a.pas", 1, 0x10}, {"a.pas", 2, 0x20}}},
      // Cut at the NUL, the header is the last line and is read as data.
      {"NUL in the line after a header", "Line numbers for A(a.pas)\r\n\0\r\n  1 0001:10\r\n"sv,
       {{"", 0, 0}, {"", 0, 0}}},
  };
  for (const auto& c : cases) EXPECT_EQ(Loaded(c.text), c.expected) << c.what;
}

TEST(LoadFromText, HeaderAmongTheLastTwoLinesIsReadAsData) {
  const std::string_view header = "Line numbers for X(Y) segment Z";
  // As the last line, after a section: three pairs of words, all converting to 0.
  EXPECT_EQ(Loaded(std::string(kEngineSection) + std::string(header)),
            (Entries{{"Engine.src", 12, 0xA10}, {"Engine.src", 13, 0xA1C}, {"Engine.src", 14, 0xB0},
                     {"Engine.src", 0, 0}, {"Engine.src", 0, 0}, {"Engine.src", 0, 0}}));
  // As the last but one line, the line after it is data too.
  EXPECT_EQ(Loaded(std::string(kEngineSection) + std::string(header) + "\r\n  7 0001:70\r\n").size(), 3u + 3u + 1u);
  EXPECT_EQ(Loaded(std::string(kEngineSection) + std::string(header) + "\r\n\r\n").size(), 3u + 3u);
  // Without an earlier section the source name is empty.
  bool loaded = false;
  EXPECT_EQ(Loaded(std::string(header) + "\r\n", &loaded), (Entries{{"", 0, 0}, {"", 0, 0}, {"", 0, 0}}));
  EXPECT_TRUE(loaded);
  EXPECT_EQ(Loaded(std::string(header) + "\r\n  1 0001:10"),
            (Entries{{"", 0, 0}, {"", 0, 0}, {"", 0, 0}, {"", 1, 0x10}}));
}

TEST(LoadFromText, LoadedTellsWhetherAnyEntryWasRead) {
  bool loaded = true;
  Loaded("no sections here\r\n", &loaded);
  EXPECT_FALSE(loaded);
  Loaded("Line numbers for A(a.pas)\r\n\r\n\r\n", &loaded);  // a header with no data
  EXPECT_FALSE(loaded);
  Loaded("Line numbers for A(a.pas)\r\n\r\n   \r\n", &loaded);  // only blanks
  EXPECT_FALSE(loaded);
  Loaded("Line numbers for A(a.pas)\r\n\r\nx\r\n", &loaded);  // a pair that does not convert
  EXPECT_TRUE(loaded);
}

// ---------------------------------------------------------------- segments

// Newer linkers print absolute starts in the segment table; the pairs of a
// code segment then count from that segment's start.
std::string SegmentTable(std::initializer_list<std::string_view> rows) {
  std::string text = "\r\n Start         Length     Name                   Class\r\n";
  for (const std::string_view row : rows) (text += row) += "\r\n";
  return text + "\r\n";
}

constexpr std::string_view kText = " 0001:00401000 00001000H .text                   CODE";
constexpr std::string_view kIText = " 0002:00403000 00000100H .itext                  ICODE";

TEST(LoadFromText, CodeSegmentsOfAnAbsoluteLayoutMove) {
  const struct {
    const char* what;
    std::string top;
    std::string_view pairs;
    std::vector<int32_t> offsets;
  } cases[] = {
      {"ICODE pairs move, CODE at 0x401000 stays", SegmentTable({kText, kIText}),
       "1 0001:00000100 2 0002:00000010 3 0002:10", {0x100, 0x2010, 0x2010}},
      {"segment numbers compare without regard to case",
       SegmentTable({kText, " 000A:00405000 00000010H .more                   ICODE"}), "1 000a:00000001 2 000A:2",
       {0x4001, 0x4002}},
      {"other classes, other segment parts and no segment stay",
       SegmentTable({kText, kIText, " 0003:00404000 00000100H .data                   DATA"}),
       "1 0003:00000010 2 02:10 3 00002:10 4 10 5 0004:10 6 :10", {0x10, 0x10, 0x10, 0x10, 0x10, 0}},
      {"a CODE segment below 0x401000 wraps", SegmentTable({" 0001:00300000 00001000H .text CODE"}),
       "1 0001:00000010", {0x300010 - 0x401000}},
      {"starts of sixteen digits are cut to 32 bits",
       SegmentTable({" 0001:0000000140001000 00001000H .text CODE"}), "1 0001:00000010", {0x3FC00010}},
      {"a first CODE row at 0 is the old layout",
       SegmentTable({" 0001:00000000 00001000H _TEXT CODE", kIText}), "1 0001:10 2 0002:10", {0x10, 0x10}},
      {"no segment table", "", "1 0002:10", {0x10}},
  };
  for (const auto& c : cases) {
    const Entries got = Loaded(c.top + "Line numbers for A(a.pas) segment .text\r\n\r\n" + std::string(c.pairs) + "\r\n");
    std::vector<int32_t> offsets;
    for (const Entry& e : got) offsets.push_back(std::get<2>(e));
    EXPECT_EQ(offsets, c.offsets) << c.what;
  }
}

// ---------------------------------------------------------------- life cycle

TEST(TMapFile, CreatedEmptyAndNotLoaded) {
  const TMapFile map;
  EXPECT_EQ(map.Count(), 0);
  EXPECT_FALSE(map.Loaded());
  EXPECT_FALSE(map.FindOffset(0).has_value());
  EXPECT_THROW(map.Entry(0), EListError);
}

TEST(TMapFile, EntryOutsideTheTableRaisesTheListError) {
  TMapFile map;
  map.LoadFromText(kEngineSection);
  EXPECT_NO_THROW(map.Entry(2));
  for (const int32_t index : {3, -1, INT32_MIN, INT32_MAX}) {
    try {
      map.Entry(index);
      FAIL() << index;
    } catch (const EListError& e) {
      EXPECT_EQ(std::string(e.what()), "Indice de liste hors limites (" + std::to_string(index) + ")");
    }
  }
}

TEST(TMapFile, ClearEmptiesButKeepsLoaded) {
  TMapFile map;
  map.LoadFromText(kEngineSection);
  ASSERT_TRUE(map.Loaded());
  map.Clear();
  EXPECT_EQ(map.Count(), 0);
  EXPECT_TRUE(map.Loaded());
  EXPECT_FALSE(map.FindOffset(0xA10).has_value());  // loaded but empty: nothing found
}

TEST(TMapFile, LoadReadsAFileWithCrLfEnds) {
  TMapFile map;
  map.Load(test::DataFile("small.map"));
  EXPECT_TRUE(map.Loaded());
  const std::string dpr = "C:\\Program Files (x86)\\Demo\\Main.dpr";
  EXPECT_EQ(EntriesOf(map), (Entries{{"Engine.pas", 10, 0x100}, {"Engine.pas", 11, 0x110},
                                     {"Engine.pas", 12, 0x120}, {dpr, 5, 0x200}, {dpr, 6, 0x210}}));
}

TEST(TMapFile, ReloadReplacesTheEntries) {
  TMapFile map;
  map.Load(test::DataFile("small.map"));
  ASSERT_EQ(map.Count(), 5);
  map.Load(test::DataFile("other.map"));
  EXPECT_TRUE(map.Loaded());
  EXPECT_EQ(EntriesOf(map), (Entries{{"Other.pas", 1, 0x10}, {"Other.pas", 2, 0x20}}));
  EXPECT_FALSE(map.FindOffset(0x110).has_value());

  map.Load(test::DataFile("no-lines.map"));
  EXPECT_EQ(map.Count(), 0);
  EXPECT_FALSE(map.Loaded());
}

// A load that cannot read its file raises the error and leaves the table as it
// was: the entries stay and lookups keep working.
TEST(TMapFile, FailedLoadLeavesTheTableUnchanged) {
  TMapFile map;
  map.Load(test::DataFile("small.map"));
  const Entries before = EntriesOf(map);
  EXPECT_THROW(map.Load(test::DataFile("no-such-file.map")), EFOpenError);
  EXPECT_TRUE(map.Loaded());
  EXPECT_EQ(EntriesOf(map), before);
  const auto hit = map.FindOffset(0x115);
  ASSERT_TRUE(hit.has_value());
  EXPECT_EQ(hit->Line(), 11);

  TMapFile fresh;
  EXPECT_THROW(fresh.Load(test::DataFile("no-such-file.map")), EFOpenError);
  EXPECT_FALSE(fresh.Loaded());
  EXPECT_EQ(fresh.Count(), 0);

  TMapFile emptied;  // loaded, then emptied by a file without sections
  emptied.Load(test::DataFile("small.map"));
  emptied.Load(test::DataFile("no-lines.map"));
  EXPECT_THROW(emptied.Load(QF_TESTDATA_DIR), EFOpenError);
  EXPECT_FALSE(emptied.Loaded());
  EXPECT_EQ(emptied.Count(), 0);
}

// ---------------------------------------------------------------- lookup

struct Want {
  int32_t offset;
  const char* source;  // nullptr: nothing found
  int32_t line;
};

void ExpectLookups(const TMapFile& map, std::initializer_list<Want> wants) {
  for (const Want& w : wants) {
    const auto hit = map.FindOffset(w.offset);
    if (!w.source) {
      EXPECT_FALSE(hit.has_value()) << std::hex << "0x" << w.offset << " gave " << hit->SourceFile() << ':'
                                    << std::dec << hit->Line();
      continue;
    }
    ASSERT_TRUE(hit.has_value()) << std::hex << "0x" << w.offset;
    EXPECT_EQ(hit->SourceFile(), w.source) << std::hex << "0x" << w.offset;
    EXPECT_EQ(hit->Line(), w.line) << std::hex << "0x" << w.offset;
  }
}

TEST(FindOffset, WorkedExample) {
  TMapFile map;
  map.LoadFromText(
      "Line numbers for A(A) segment .text\r\n\r\n  10 0001:100  11 0001:110  12 0001:120\r\n\r\n"
      "Line numbers for B(B) segment .text\r\n\r\n   5 0001:200   6 0001:210\r\n");
  ExpectLookups(map, {{0x110, "A", 11}, {0x115, "A", 11}, {0x105, "A", 10}, {0x120, "A", 12},
                      {0x125, nullptr, 0}, {0x200, "B", 5}, {0x205, "B", 5}, {0x50, nullptr, 0},
                      {0x215, nullptr, 0}, {0x100, "A", 10}, {0x210, "B", 6}, {0x1FF, nullptr, 0}});
  const CrashAddress typed = CrashAddressToOffset("0x00401115");
  ASSERT_EQ(typed.kind, CrashAddress::Valid);
  ExpectLookups(map, {{typed.offset, "A", 11}});
}

TEST(FindOffset, OrderRules) {
  TMapFile map;
  // Not ascending: the bracketing pair (0x100, 0x300) fires before the exact
  // match at the third entry.
  map.LoadFromText("Line numbers for A(A)\r\n\r\n 1 100 2 300 3 200\r\n");
  ExpectLookups(map, {{0x200, "A", 1}, {0x300, "A", 2}});

  // Several entries with the sought offset: the first in table order.
  map.LoadFromText("Line numbers for A(A)\r\n\r\n 1 100 2 110 3 110 4 110\r\n");
  ExpectLookups(map, {{0x110, "A", 2}, {0x108, "A", 1}});

  // The between rule never spans a change of source file, but a later pair
  // of one file can still bracket the offset.
  map.LoadFromText("Line numbers for A(A)\r\n\r\n 1 100 2 200\r\n\r\n"
                   "Line numbers for B(B)\r\n\r\n 7 300 8 100 9 400\r\n");
  ExpectLookups(map, {{0x250, "B", 8}, {0x150, "A", 1}});

  // Source names compare case-sensitively.
  map.LoadFromText("Line numbers for A(a.pas)\r\n\r\n 1 100\r\n\r\nLine numbers for B(A.pas)\r\n\r\n 2 200\r\n");
  ExpectLookups(map, {{0x150, nullptr, 0}});

  // Offsets compare as signed numbers: 0xFFFFFFF0 is -16.
  map.LoadFromText("Line numbers for A(A)\r\n\r\n 1 FFFFFFF0 2 10 3 7FFFFFF0 4 80000010\r\n");
  ExpectLookups(map, {{0, "A", 1}, {-16, "A", 1}, {-1, "A", 1}, {0x7FFFFFF8, nullptr, 0},
                      {INT32_MIN + 0x10, "A", 4}, {INT32_MAX, nullptr, 0}});
}

TEST(FindOffset, NothingWhenNotLoaded) {
  TMapFile map;
  map.AddEntry("A", 1, 0x100);
  map.AddEntry("A", 2, 0x200);
  ASSERT_FALSE(map.Loaded());
  ExpectLookups(map, {{0x100, nullptr, 0}, {0x150, nullptr, 0}});

  map.LoadFromText("nothing\r\n");
  ExpectLookups(map, {{0, nullptr, 0}});
}

// Large tables: lookups and entries across the table's internal storage
// boundaries (every few thousand entries) behave as anywhere else.
TEST(FindOffset, LargeTable) {
  TMapFile map;
  std::string text = "Line numbers for A(A)\r\n\r\n";
  constexpr int kEntries = 70000;
  for (int i = 0; i < kEntries; ++i) {
    text += ' ' + std::to_string(i + 1) + " 0001:" + std::to_string(i * 10);  // hex digits read as hex
    if (i % 4 == 3) text += "\r\n";
  }
  text += "\r\n\r\nLine numbers for B(B)\r\n\r\n 1 FFFFFF\r\n";
  map.LoadFromText(text);
  ASSERT_EQ(map.Count(), kEntries + 1);
  const auto offsetOf = [](int i) { return HexDigitsToIntDef(std::to_string(i * 10), -1); };
  for (int i : {0, 1, 4095, 4096, 16383, 16384, 16385, 32767, 32768, 65535, 65536, kEntries - 1}) {
    const TLineOffset e = map.Entry(i);
    EXPECT_EQ(e.Line(), i + 1) << i;
    EXPECT_EQ(e.Offset(), offsetOf(i)) << i;
    ExpectLookups(map, {{offsetOf(i), "A", i + 1}});
    if (i > 0) ExpectLookups(map, {{offsetOf(i) - 1, "A", i}});  // bracketed by i-1 and i
  }
  ExpectLookups(map, {{0xFFFFFF, "B", 1}, {offsetOf(kEntries - 1) + 1, nullptr, 0}, {-1, nullptr, 0}});
  EXPECT_EQ(map.Entry(kEntries).SourceFile(), "B");
}

TEST(FindOffset, BracketStaysInsideOneSegment) {
  TMapFile map;
  map.LoadFromText(SegmentTable({kText, kIText}) +
                   "Line numbers for A(a.pas) segment .text\r\n\r\n 1 0001:00000100 2 0001:00000200 3 300\r\n\r\n"
                   "Line numbers for A(a.pas) segment .itext\r\n\r\n 4 0002:00000010 5 0002:00000020\r\n\r\n"
                   "Line numbers for A(a.pas) segment .text\r\n\r\n 6 0001:00003000 7 0001:00003100\r\n");
  EXPECT_EQ(map.Count(), 7);  // the status line counts the same entries
  ExpectLookups(map, {{0x150, "a.pas", 1},
                      {0x250, "a.pas", 2},    // segment 0001 and no segment: both unmoved
                      {0x1000, nullptr, 0},   // .text 0x300 to .itext 0x2010: no bracket
                      {0x2010, "a.pas", 4},
                      {0x2018, "a.pas", 4},
                      {0x2800, nullptr, 0},   // .itext 0x2020 to .text 0x3000
                      {0x3050, "a.pas", 6}});
}

// ---------------------------------------------------------------- typed addresses

TEST(CrashAddressToOffset, TypedTexts) {
  const struct {
    std::string_view typed;
    CrashAddress::Kind kind;
    int32_t offset;
  } cases[] = {
      {"0x0045894F", CrashAddress::Valid, 0x5794F},
      {"0X0045894F", CrashAddress::Valid, 0x5794F},
      {"0x0045894f", CrashAddress::Valid, 0x5794F},
      {"45894F", CrashAddress::Valid, 0x5794F},
      {"1x45894F", CrashAddress::InvalidAddress, 0},
      {"4", CrashAddress::NoAddress, 0},
      {"", CrashAddress::NoAddress, 0},
      {"x", CrashAddress::NoAddress, 0},
      {"401000", CrashAddress::Valid, 0},
      {"400FFF", CrashAddress::InvalidAddress, 0},
      {"80000000", CrashAddress::InvalidAddress, 0},
      {"FFFFFFFF", CrashAddress::InvalidAddress, 0},
      {"7FFFFFFF", CrashAddress::Valid, 0x7FBFEFFF},
      {"0x401000 ", CrashAddress::InvalidAddress, 0},
      {" 0x401000", CrashAddress::InvalidAddress, 0},
      {"4556111", CrashAddress::Valid, 0x4155111},
      {"0x", CrashAddress::InvalidAddress, 0},
      {"$401000", CrashAddress::InvalidAddress, 0},
      {"0x100000000", CrashAddress::InvalidAddress, 0},
      {"0x000000000401000", CrashAddress::Valid, 0},
      {"00401115", CrashAddress::Valid, 0x115},
      {"-x401000", CrashAddress::InvalidAddress, 0},
      {"0x4G1000", CrashAddress::InvalidAddress, 0},
      {"0x401000\t", CrashAddress::InvalidAddress, 0},
  };
  for (const auto& c : cases) {
    const CrashAddress got = CrashAddressToOffset(c.typed);
    EXPECT_EQ(got.kind, c.kind) << '"' << c.typed << '"';
    if (c.kind == CrashAddress::Valid) {
      EXPECT_EQ(got.offset, c.offset) << '"' << c.typed << '"';
    }
  }
  EXPECT_EQ(CodeBase, 0x401000);
}

}  // namespace
}  // namespace qf
