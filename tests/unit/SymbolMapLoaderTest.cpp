// The symbol map read piece by piece, on one thread and on several, is the
// map of the whole text read at once, on real MAP files and on a text that
// small buffers cut at every section start.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RealMapFiles.h"
#include "TextFileSystem.h"
#include "map/SymbolMap.h"

namespace qf {
namespace {

std::string Describe(const Symbolized& s) {
  std::string text = std::to_string(s.address);
  if (!s.inCode) return text + " not in code";
  text += " " + std::string(s.segment) + " (" + std::string(s.unit.value_or("??")) + ") ";
  text += std::string(s.function.value_or("??")) + "+" + std::to_string(s.functionOffset) + " ";
  text += std::string(s.file.value_or("??")) + ":" + std::to_string(s.line.value_or(-1));
  return text;
}

// The answers over each code segment, every `step` bytes and around its
// edges.
std::vector<std::string> Answers(const SymbolMap& map, uint64_t step) {
  std::vector<std::string> out{std::to_string(map.ImageBase())};
  for (const CodeSegment& c : map.CodeSegments()) {
    out.push_back(c.id + " " + c.name + " " + std::to_string(c.start) + " " + std::to_string(c.length));
    for (uint64_t a = c.start - 1; a <= c.start + c.length; a += step) out.push_back(Describe(map.Symbolize(a)));
  }
  return out;
}

// Units, publics and sections of every length, some in no unit, some
// sections of one unit far apart; blank lines and one-pair sections.
std::string ManySections() {
  std::string text =
      "\r\n Start         Length     Name                   Class\r\n"
      " 0001:00401000 00050000H .text                   CODE\r\n"
      " 0002:00501000 00001000H .itext                  ICODE\r\n\r\n"
      "Detailed map of segments\r\n\r\n";
  for (int u = 0; u < 40; ++u) {
    if (u % 9 == 4) continue;  // code in no unit
    text += " 0001:" + std::to_string(10000 + 1000 * u) + " 00000300 C=CODE S=.text G=(none) M=U" +
            std::to_string(u % 30) + " ACBP=A9\r\n";
  }
  text += "\r\n  Address             Publics by Value\r\n\r\n";
  for (int u = 0; u < 40; ++u) text += " 0001:" + std::to_string(10000 + 1000 * u + 4) + "       U.F" + std::to_string(u) + "\r\n";
  text += "\r\n";
  for (int s = 0; s < 60; ++s) {
    const int u = s % 40;
    text += "Line numbers for U" + std::to_string(u % 30) + "(u" + std::to_string(u % 7) + ".pas) segment .text\r\n\r\n";
    for (int i = 0; i < s % 13; ++i) {
      text += "  " + std::to_string(i + s) + " 0001:" + std::to_string(10000 + 1000 * u + 7 * i + s % 3);
      if (i % 4 == 3) text += "\r\n";
    }
    text += s % 5 == 0 ? "\n\r" : "\r\n\r\n";
  }
  return text;
}

void ExpectSameMap(const std::string& text, const std::string& what, uint64_t step) {
  const std::vector<std::string> whole = Answers(SymbolMap::FromText(text), step);
  const struct {
    std::size_t buffer;
    unsigned threads;
  } ways[] = {{64, 1}, {64, 2}, {64, 3}, {200, 2}, {1024, 4}, {std::size_t{4} << 20, 2}};
  for (const auto& way : ways) {
    const SymbolMap map = SymbolMap::Load("x.map", test::TextFileSystem(text, 1000), {way.buffer, way.threads, 0});
    EXPECT_EQ(Answers(map, step), whole) << what << " buffer " << way.buffer << " threads " << way.threads;
  }
}

TEST(SymbolMapLoader, PiecesAndThreadsReadAsTheWholeText) { ExpectSameMap(ManySections(), "many sections", 3); }

TEST(SymbolMapLoader, RealFilesReadAsTheWholeText) {
  int found = 0;
  for (const test::RealMapFile& real : test::RealMapFiles()) {
    const std::string& name = real.name;
    const std::string text = PlatformFileSystem().ReadWholeFile(real.Path());
    const std::vector<std::string> whole = Answers(SymbolMap::FromText(text), 61);
    EXPECT_EQ(Answers(SymbolMap::Load(name, test::TextFileSystem(text, 1 << 16), {2048, 3, 0}), 61), whole) << name;
    EXPECT_EQ(Answers(SymbolMap::Load(real.Path(), PlatformFileSystem(), {16384, 2, 0}), 61), whole) << name;
    ++found;
  }
  EXPECT_EQ(found, 14) << "real MAP files in the two folders";
}

}  // namespace
}  // namespace qf
