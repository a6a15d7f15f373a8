// Data lines in the linkers' columns are read whole (AlignedLine.h) on every
// reading path; each must give what the pair-by-pair rules give. The same
// lines with one more leading space never fit the columns, so the rules
// alone read them, to the same pairs: the two texts must load alike, for
// the usual lines, for lines near them and for random changes of them.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "TextFileSystem.h"
#include "map/SymbolMap.h"
#include "TableEntries.h"
#include "map/U_MAPFile.h"

namespace qf {
namespace {

using test::TextFileSystem;

using test::Entries;
using test::EntriesOf;

// The line found for each entry's offset and the offsets around it (the
// runs of one segment decide the brackets).
std::vector<int32_t> Answers(const TMapFile& map) {
  std::vector<int32_t> lines;
  for (int32_t i = 0; i < map.Count(); ++i) {
    for (const int32_t d : {-1, 0, 1}) {
      const auto hit = map.FindOffset(map.Entry(i).Offset() + d);
      lines.push_back(hit ? hit->Line() : -1);
    }
  }
  return lines;
}

// What the symbol map says for the same offsets.
std::vector<std::string> SymbolAnswers(const SymbolMap& symbols, const TMapFile& map) {
  std::vector<std::string> out;
  for (int32_t i = 0; i < map.Count(); ++i) {
    for (const int32_t d : {-1, 0, 1}) {
      const Symbolized s = symbols.Symbolize(0x402000 + static_cast<uint64_t>(map.Entry(i).Offset() + d));
      out.push_back(!s.inCode ? "-" : std::string(s.file.value_or("?")) + ":" + std::to_string(s.line.value_or(-1)));
    }
  }
  return out;
}

const std::string kFour = "    27 0001:0006BB98    28 0001:0006BBAB    29 0001:0006BBC3    30 0001:0006BC0F";

// A file with a segment table (segment 1 moves, the others do not) and one
// section of the given data lines; `shift` puts a space in front of each.
std::string MapText(const std::vector<std::string>& data, bool shift, const char* end) {
  std::string text = std::string(" Start         Length     Name                   Class") + end +
                     " 0001:00402000 00010000H .text                   CODE" + end + end +
                     "Line numbers for U(u.pas) segment .text" + end + end;
  for (const std::string& line : data) text += (shift ? " " : "") + line + end;
  return text + end;
}

// Loads the text whole, from a file on one thread and in pieces on two,
// and the shifted text whole, and expects the same table and answers; so
// for the symbol map, whole and in pieces.
void ExpectAsTheRules(const std::vector<std::string>& data, const std::string& what) {
  for (const char* end : {"\r\n", "\n"}) {
    const std::string text = MapText(data, false, end);
    TMapFile rules, whole, oneThread, pieces;
    const std::string shifted = MapText(data, true, end);
    rules.LoadFromText(shifted);
    whole.LoadFromText(text);
    oneThread.Load("u.map", TextFileSystem(text, 100), {64, 1, 0});
    pieces.Load("u.map", TextFileSystem(text, 1 << 12), {256, 2, 0});
    const Entries expected = EntriesOf(rules);
    const std::vector<int32_t> answers = Answers(rules);
    for (const TMapFile* map : {&whole, &oneThread, &pieces}) {
      EXPECT_EQ(EntriesOf(*map), expected) << what;
      EXPECT_EQ(Answers(*map), answers) << what;
    }
    const std::vector<std::string> symbols = SymbolAnswers(SymbolMap::FromText(shifted), rules);
    EXPECT_EQ(SymbolAnswers(SymbolMap::FromText(text), rules), symbols) << what;
    EXPECT_EQ(SymbolAnswers(SymbolMap::Load("u.map", TextFileSystem(text, 1 << 12), {256, 2, 0}), rules), symbols)
        << what;
  }
}

TEST(AlignedLine, ReadsAsThePairRules) {
  const std::vector<std::string> lines = {
      kFour,
      "  2724 0001:0000145C  2725 0001:00001461  2726 0001:00001462  2727 0001:00001466",
      "123456 0001:0006bb98     7 0002:0006BBAB     8 ABCD:0006BBC3     9 0001:FFFFFFFF",
      "     1 0001:80000000     2 0001:00000000     3 0002:00000010     4 0001:00000020",
      "   121 0001:00005F9C   121 0001:00005FA3",
      "     5 0001:00000044",
      "     5 0001:00000044     6 0001:00000048     7 0001:0000004C",
      // Near misses: each must fall back to the pair rules.
      "  1 23 0001:0006BB98    28 0001:0006BBAB    29 0001:0006BBC3    30 0001:0006BC0F",
      "       0001:0006BB98    28 0001:0006BBAB    29 0001:0006BBC3    30 0001:0006BC0F",
      "    27 0001:0006BB98123456 0001:0006BBAB    29 0001:0006BBC3    30 0001:0006BC0F",
      "\t   27 0001:0006BB98    28 0001:0006BBAB    29 0001:0006BBC3    30 0001:0006BC0F",
      "   -27 0001:0006BB98    28 0001:0006BBAB    29 0001:0006BBC3    30 0001:0006BC0F",
      "    27 0001:0006BB9G    28 0001:0006BBAB    29 0001:0006BBC3    30 0001:0006BC0F",
      "    27 0001:000\x10" "BB98    28 0001:0006BBAB    29 0001:0006BBC3    30 0001:0006BC0F",  // "0" in lower case
      "    27 0001:0006BB98    28 0001:0006BBAB    29 0001:0006BBC3    30 0001:0006BC\x19" "F",
      "    27 0001:0006BB98    28 00:1:0006BBAB    29 0001:0006BBC3    30 0001:0006BC0F",
      "    27 0001:0006BB98    28 0 01:0006BBAB    29 0001:0006BBC3    30 0001:0006BC0F",
      "    27 0001:0006BB98    28 .tex:0006BBAB    29 0001:0006BBC3    30 0001:0006BC0F",
      "    27 0001:0006BB98    28 \xE9" "001:0006BBAB    29 0001:0006BBC3    30 0001:0006BC0F",
      "    27 0001:0006BB98    28 0001 0006BBAB    29 0001:0006BBC3    30 0001:0006BC0F",
      "    27 0001:0006BB98    28 0001:0006BBAB    29 0001:0006BBC3    30 0001:0006BC0 ",
      "    27 0001:0006BB98    28 0001:0006BBAB    29 0001:0006BBC3    30 0001:0006BC0F ",
      "    27 0001:0006BB98   28  0001:0006BBAB    29 0001:0006BBC3    30 0001:0006BC0F",
  };
  for (const std::string& line : lines) {
    // Each line alone and between usual lines, twice in a row.
    ExpectAsTheRules({line}, '"' + line + '"');
    ExpectAsTheRules({kFour, line, line, kFour, line}, '"' + line + "\" among others");
  }
}

TEST(AlignedLine, RandomChangesReadAsThePairRules) {
  const std::string bytes = " 0159aAfFgG:x-+\t\x01\x10\x19\x7F\xE9\xFF";
  std::mt19937 random(17);
  for (int n = 0; n < 300; ++n) {
    std::string line = kFour;
    for (int k = 1 + static_cast<int>(random() % 3); k > 0; --k) {
      line[random() % line.size()] = bytes[random() % bytes.size()];
    }
    ExpectAsTheRules({kFour, line, kFour}, '"' + line + '"');
  }
}

}  // namespace
}  // namespace qf
