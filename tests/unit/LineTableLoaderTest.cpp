// Reading a MAP file piece by piece: the streaming line source and the
// reading on several threads give exactly what the whole text read at once
// gives, whatever the buffer size and however the reads are cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "base/Errors.h"
#include "base/LineIterator.h"
#include "base/LineReader.h"
#include "TestFiles.h"
#include "RealMapFiles.h"
#include "TextFileSystem.h"
#include "TableEntries.h"
#include "map/U_MAPFile.h"

namespace qf {
namespace {

using test::PieceReader;
using test::TextFileSystem;

using namespace std::string_view_literals;

using test::Entries;
using test::EntriesOf;

// The answers for every entry's offset and its neighbours.
std::vector<int32_t> Answers(const TMapFile& map) {
  std::vector<int32_t> lines;
  for (int32_t i = 0; i < map.Count() && i < 3000; ++i) {
    for (int32_t d : {-1, 0, 1}) {
      const auto hit = map.FindOffset(map.Entry(i).Offset() + d);
      lines.push_back(hit ? hit->Line() : -1);
    }
  }
  return lines;
}

// Lines that catch the reading rules at piece and buffer edges.
const std::string_view kTricky[] = {
    "",
    "Line numbers for A(a.pas)\r\n\r\n  1 0001:10\r\n",
    "Line numbers for A(a.pas)\n\n  1 0001:10\n\nLine numbers for B(b.pas)\n\n  2 0001:20\n",
    "Line numbers for A(a.pas)\r\r  1 0001:10\r\rLine numbers for B(b.pas)\r\r  2 0001:20",
    "Line numbers for A(a.pas)\n\r  1 0001:10\n\r  2 0001:20\n\rLine numbers for B(b.pas)\n\r 3 30\n",
    // Headers right after data, two in a row, and among the last two lines.
    "Line numbers for A(a.pas)\r\n\r\n  1 0001:10\r\nLine numbers for B(b.pas)\r\n\r\n  2 0001:20\r\n\r\n"
    "Line numbers for C(c.pas)\r\nLine numbers for D(d.pas)\r\n  3 0001:30\r\n\r\n"
    "Line numbers for E(e.pas)\r\n\r\nLine numbers for F(f.pas)\r\n\r\n 4 40\r\n\r\nLine numbers for X(Y) segment Z\r\n",
    "Line numbers for A(a.pas)\r\n\r\n  1 10\r\n\r\nLine numbers for X(Y) segment Z\r\n  7 0001:70",
    "Line numbers for A(a.pas)\r\n\r\n  1 10\r\n\r\nLine numbers for X(Y) segment Z\r\n\r\n",
    // A NUL ends the text, also right after a header.
    "Line numbers for A(a.pas)\r\n\r\n  1 0001:10\r\n\r\nLine numbers for B(b.pas)\r\n\0\r\n  2 20\r\n"sv,
    "Line numbers for A(a.pas)\r\n\r\n  1 0001:10\r\n\r\nLine numbers for B(b.pas)\r\n\r\n  2 20\0 3 30\r\n"sv,
    // Blank lines inside a section, an empty line under a header line.
    "x\r\n\r\nLine numbers for A(a.pas)\r\n\r\n 1 10\r\n  \r\n 2 20\r\n\r\n\r\nLine numbers for B(b.pas)\r\n\r\n 3 30\r\n",
    // The segment table of an absolute layout, .itext pairs.
    "\r\n Start         Length     Name                   Class\r\n"
    " 0001:00401000 00001000H .text                   CODE\r\n"
    " 0002:00403000 00000100H .itext                  ICODE\r\n\r\n"
    "Line numbers for A(a.pas) segment .text\r\n\r\n 1 0001:00000100 2 0001:00000200 3 300\r\n\r\n"
    "Line numbers for A(a.pas) segment .itext\r\n\r\n 4 0002:00000010 5 0002:00000020\r\n\r\n"
    "Line numbers for A(a.pas) segment .text\r\n\r\n 6 0001:00003000 7 0001:00003100\r\n",
};

// Many sections, long and short lines, so that small buffers cut the text
// everywhere.
std::string ManySections() {
  std::string text = std::string(kTricky[11]);
  for (int s = 0; s < 60; ++s) {
    text += "Line numbers for U" + std::to_string(s) + "(u" + std::to_string(s % 7) + ".pas) segment .text\r\n\r\n";
    for (int i = 0; i < s; ++i) text += "  " + std::to_string(i) + " 0001:" + std::to_string(1000 * s + 3 * i);
    text += s % 5 == 0 ? "\n\r" : "\r\n\r\n";
  }
  return text;
}

void ExpectSameReading(const std::string& text, const std::string& what) {
  TMapFile whole;
  whole.LoadFromText(text);
  const Entries expected = EntriesOf(whole);
  const std::vector<int32_t> answers = Answers(whole);
  const struct {
    std::size_t buffer;
    unsigned threads;
  } ways[] = {{2, 1}, {7, 1}, {64, 1}, {64, 2}, {64, 3}, {200, 2}, {1024, 4}, {std::size_t{4} << 20, 2}};
  for (const auto& way : ways) {
    for (std::size_t longestRead : {3, 1000, 1 << 20}) {
      TMapFile map;
      map.Load("x.map", TextFileSystem(text, longestRead), {way.buffer, way.threads, 0});
      const std::string how = what + " buffer " + std::to_string(way.buffer) + " threads " +
                              std::to_string(way.threads) + " reads " + std::to_string(longestRead);
      EXPECT_EQ(map.Loaded(), whole.Loaded()) << how;
      ASSERT_EQ(EntriesOf(map), expected) << how;
      EXPECT_EQ(Answers(map), answers) << how;
    }
  }
}

TEST(LineReader, SameLinesAsTheWholeText) {
  std::vector<std::string> texts(std::begin(kTricky), std::end(kTricky));
  texts.push_back(ManySections());
  texts.push_back("A\r\nB\n\rC\r\r\nD\r");
  texts.push_back(std::string(300, 'x') + "\r\n" + std::string(5, 'y'));  // lines longer than the buffer
  for (const std::string& text : texts) {
    std::vector<std::string> expected;
    const std::string_view cut(text.c_str());  // up to the first NUL
    for (LineIterator it(cut); !it.AtEnd(); ++it) expected.emplace_back(*it);
    for (std::size_t buffer : {2, 3, 5, 64, 4096}) {
      PieceReader file(text, 7);
      LineReader reader(file, buffer);
      std::vector<std::string> lines;
      for (std::string_view line; reader.Next(line);) lines.emplace_back(line);
      EXPECT_EQ(lines, expected) << testing::PrintToString(text) << " buffer " << buffer;
    }
  }
}

TEST(LineTableLoader, PiecesAndThreadsReadAsTheWholeText) {
  int n = 0;
  for (const std::string_view text : kTricky) ExpectSameReading(std::string(text), "tricky " + std::to_string(n++));
  ExpectSameReading(ManySections(), "many sections");
}

TEST(LineTableLoader, RealFilesReadAsTheWholeText) {
  int found = 0;
  for (const test::RealMapFile& real : test::RealMapFiles()) {
    const std::string& name = real.name;
    const std::string text = PlatformFileSystem().ReadWholeFile(real.Path());
    TMapFile whole, pieces, file;
    whole.LoadFromText(text);
    pieces.Load(name, TextFileSystem(text, 1 << 16), {4096, 3, 0});
    file.Load(real.Path(), PlatformFileSystem(), {16384, 2, 0});
    EXPECT_EQ(EntriesOf(pieces), EntriesOf(whole)) << name;
    EXPECT_EQ(EntriesOf(file), EntriesOf(whole)) << name;
    EXPECT_EQ(Answers(pieces), Answers(whole)) << name;
    ++found;
  }
  EXPECT_EQ(found, 14) << "real MAP files in the two folders";
}

// A read that fails half-way leaves the table as it was, on one thread and on several.
TEST(LineTableLoader, FailedReadLeavesTheTable) {
  const std::string text = ManySections();
  for (unsigned threads : {1u, 3u}) {
    for (std::size_t failAt : {std::size_t{0}, std::size_t{100}, text.size() / 2, text.size() - 1}) {
      TMapFile map;
      map.LoadFromText(kTricky[1]);
      const Entries before = EntriesOf(map);
      EXPECT_THROW(map.Load("x.map", TextFileSystem(text, 50, failAt), {64, threads, 0}), EFOpenError);
      EXPECT_TRUE(map.Loaded());
      EXPECT_EQ(EntriesOf(map), before) << threads << " threads, failing at " << failAt;
    }
  }
}

}  // namespace
}  // namespace qf
