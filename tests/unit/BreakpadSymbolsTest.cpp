// Breakpad symbol files written from the real MAP files, read back by a
// small resolver that works as Breakpad's does (the FUNC holding an address,
// then its line record) and compared with the symbol map's own answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "RealMapFiles.h"
#include "export/BreakpadSymbols.h"
#include "map/SymbolMap.h"
#include "names/Demangle.h"

namespace qf {
namespace {

// A symbol file as Breakpad's resolver holds it; every rule of the format
// the writer must keep is checked while it is read.
class SymResolver {
 public:
  struct Line {
    uint64_t address, size;
    long line;
    std::size_t file;
  };
  struct Func {
    uint64_t address, size;
    bool multiple;
    std::string name;
    std::vector<Line> lines;
  };
  struct Answer {
    std::string function = "??";  // as symbolize prints an unknown one
    std::string file = "??";
    long line = -1;
    bool inFunc = false;
  };

  explicit SymResolver(const std::string& text) {
    EXPECT_EQ(text.find('\r'), std::string::npos) << "LF line ends only";
    std::istringstream in(text);
    std::string line;
    for (std::size_t n = 1; std::getline(in, line); ++n) Read(line, n);
    std::sort(funcs_.begin(), funcs_.end(), [](const Func& a, const Func& b) { return a.address < b.address; });
    for (std::size_t i = 1; i < funcs_.size(); ++i) {
      EXPECT_LE(funcs_[i - 1].address + funcs_[i - 1].size, funcs_[i].address) << "FUNCs overlap: " << funcs_[i].name;
    }
  }

  Answer Resolve(uint64_t rva) const {
    Answer a;
    auto f = std::upper_bound(funcs_.begin(), funcs_.end(), rva, [](uint64_t v, const Func& x) { return v < x.address; });
    if (f == funcs_.begin() || rva - (f - 1)->address >= (f - 1)->size) return a;
    --f;
    a.inFunc = true;
    a.function = f->name;
    auto l = std::upper_bound(f->lines.begin(), f->lines.end(), rva,
                              [](uint64_t v, const Line& x) { return v < x.address; });
    if (l == f->lines.begin() || rva - (l - 1)->address >= (l - 1)->size) return a;
    --l;
    a.file = files_.at(l->file);
    a.line = l->line;
    return a;
  }

  std::vector<std::string> header;  // the MODULE and INFO lines
  const std::vector<Func>& Funcs() const { return funcs_; }

 private:
  // Lower-case hexadecimal without 0x, as the writer must give it.
  static uint64_t Hex(const std::string& word) {
    EXPECT_FALSE(word.empty());
    EXPECT_EQ(word.find_first_not_of("0123456789abcdef"), std::string::npos) << word;
    return std::stoull(word, nullptr, 16);
  }
  static std::vector<std::string> Split(const std::string& line, std::size_t words) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (out.size() + 1 < words) {
      const std::size_t space = line.find(' ', at);
      if (space == std::string::npos) break;
      out.push_back(line.substr(at, space - at));
      at = space + 1;
    }
    out.push_back(line.substr(at));
    return out;
  }

  void Read(const std::string& line, std::size_t n) {
    if (line.rfind("MODULE ", 0) == 0 || line.rfind("INFO ", 0) == 0) {
      EXPECT_TRUE(funcs_.empty() && files_.empty()) << "line " << n;
      header.push_back(line);
    } else if (line.rfind("FILE ", 0) == 0) {
      const auto w = Split(line, 3);
      ASSERT_EQ(w.size(), 3u);
      EXPECT_EQ(std::stoul(w[1]), files_.size()) << "FILE numbers count from 0";
      files_.push_back(w[2]);
    } else if (line.rfind("FUNC ", 0) == 0) {
      const bool multiple = line.rfind("FUNC m ", 0) == 0;
      const auto w = Split(multiple ? "FUNC " + line.substr(7) : line, 5);
      ASSERT_EQ(w.size(), 5u) << line;
      EXPECT_EQ(w[3], "0");
      funcs_.push_back(Func{Hex(w[1]), Hex(w[2]), multiple, w[4], {}});
      EXPECT_GT(funcs_.back().size, 0u) << line;
    } else if (line.rfind("STACK ", 0) == 0) {
      stack_ = true;
    } else {
      ASSERT_FALSE(funcs_.empty()) << "a line record before every FUNC: " << line;
      EXPECT_FALSE(stack_) << "a line record after the stack rules";
      const auto w = Split(line, 4);
      ASSERT_EQ(w.size(), 4u) << line;
      Func& f = funcs_.back();
      const Line l{Hex(w[0]), Hex(w[1]), std::stol(w[2]), std::stoul(w[3])};
      EXPECT_LT(l.file, files_.size()) << line;
      EXPECT_GE(l.address, f.address) << line;
      EXPECT_LE(l.address + l.size, f.address + f.size) << "a line record outside its FUNC: " << line;
      if (!f.lines.empty()) {
        EXPECT_LE(f.lines.back().address + f.lines.back().size, l.address) << line;
      }
      f.lines.push_back(l);
    }
  }

  std::vector<std::string> files_;
  std::vector<Func> funcs_;
  bool stack_ = false;
};

std::string SymText(const SymbolMap& map, const BreakpadIdentity& id) {
  std::string text;
  WriteBreakpadSymbols(map, map.ImageBase(), id, "", [&](std::string_view piece) { text.append(piece); });
  return text;
}

// The addresses compared: each FUNC's and line record's first and last
// bytes and the bytes around them, and a stride through every code segment.
std::vector<uint64_t> Samples(const SymbolMap& map, const SymResolver& sym) {
  std::vector<uint64_t> rvas;
  for (const auto& f : sym.Funcs()) {
    for (uint64_t edge : {f.address, f.address + f.size}) {
      rvas.push_back(edge - 1);
      rvas.push_back(edge);
    }
    for (const auto& l : f.lines) rvas.push_back(l.address), rvas.push_back(l.address + l.size - 1);
  }
  std::vector<uint64_t> addresses;
  for (const uint64_t rva : rvas) addresses.push_back(map.ImageBase() + rva);
  for (const CodeSegment& s : map.CodeSegments()) {
    const uint64_t stride = std::max<uint64_t>(1, s.length / 4096) | 1;
    for (uint64_t at = s.start; at - s.start < s.length + 64; at += stride) addresses.push_back(at);
  }
  return addresses;
}

// What the file answers is what Symbolize answers, address for address:
// inside a unit the same function (by its readable name), file and line;
// outside every unit no FUNC.
void ExpectSameAnswers(const SymbolMap& map, const std::string& text, const std::string& what) {
  const SymResolver sym(text);
  const std::vector<uint64_t> addresses = Samples(map, sym);
  const std::vector<Symbolized> answers = map.Symbolize(addresses);
  int failures = 0;
  for (std::size_t i = 0; i < addresses.size() && failures < 5; ++i) {
    const Symbolized& s = answers[i];
    const SymResolver::Answer b = sym.Resolve(addresses[i] - map.ImageBase());
    std::ostringstream where;
    where << what << " at 0x" << std::hex << addresses[i];
    if (!s.unit) {
      if (b.inFunc) ++failures;
      EXPECT_FALSE(b.inFunc) << where.str() << ": a FUNC outside every unit";
      continue;
    }
    const std::string function = s.function ? DemangleName(*s.function) : "??";
    const std::string file = s.line ? std::string(*s.file) : "??";
    const long line = s.line ? *s.line : -1;
    if (b.function != function || b.file != file || b.line != line) ++failures;
    EXPECT_EQ(b.function, function) << where.str();
    EXPECT_EQ(b.file, file) << where.str();
    EXPECT_EQ(b.line, line) << where.str();
  }
}

TEST(BreakpadSymbols, EveryRealMapFileAnswersAsSymbolize) {
  const auto files = test::RealMapFiles();
  ASSERT_EQ(files.size(), 14u);
  bool shared = false, unnamed = false;
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    const SymbolMap map = SymbolMap::Load(f.Path());
    const std::string text = SymText(map, {"x86", std::string(kZeroBreakpadId), "Project1.exe", "", ""});
    EXPECT_EQ(text.rfind("MODULE windows x86 000000000000000000000000000000000 Project1.exe\nFILE 0 ", 0) == 0,
              !map.SourceFiles().empty());
    ExpectSameAnswers(map, text, f.name);
    shared = shared || text.find("\nFUNC m ") != std::string::npos;
    unnamed = unnamed || text.find(" 0 ??\n") != std::string::npos;
  }
  // Both rare forms occur among the files: publics sharing an address, and
  // lines of a unit before its first public.
  EXPECT_TRUE(shared);
  EXPECT_TRUE(unnamed);
}

// Units that overlap, a segment that starts inside another, publics before
// their unit and one name at two addresses: hand-made, as no linker's file
// has them all.
TEST(BreakpadSymbols, OverlapsAnswerAsSymbolize) {
  const SymbolMap map = SymbolMap::FromText(
      " Start         Length     Name                   Class\n"
      " 0001:00401000 00002000H .text                   CODE\n"
      " 0002:00402800 00000100H .itext                  ICODE\n"
      "\n"
      "Detailed map of segments\n"
      " 0001:00000000 00000800 C=CODE S=.text G=(none) M=A ACBP=A9\n"
      " 0001:00000400 00000800 C=CODE S=.text G=(none) M=B ACBP=A9\n"
      " 0001:00000100 00000100 C=CODE S=.text G=(none) M=C ACBP=A9\n"
      " 0001:00001000 00001000 C=CODE S=.text G=(none) M=D ACBP=A9\n"
      " 0002:00000000 00000100 C=ICODE S=.itext G=(none) M=A ACBP=A9\n"
      "\n"
      "  Address             Publics by Value\n"
      " 0001:00000010  A.One\n 0001:00000200  A.Two\n 0001:00000200  A.TwoAgain\n"
      " 0001:00000900  B.Three\n 0001:00000F00  D.BeforeItsUnit\n 0001:00001800  D.Four\n"
      " 0002:00000000  A.Init\n 0001:00001900  A.One\n 0001:00000500  A.Five\n"
      "\n"
      "Line numbers for A(A.pas) segment .text\n\n    1 0001:00000000     2 0001:00000120     3 0001:00000700\n"
      "Line numbers for B(B.pas) segment .text\n\n   10 0001:00000900    11 0001:00000B00\n"
      "Line numbers for D(D.pas) segment .text\n\n   20 0001:00001100    21 0001:00001900\n"
      "Line numbers for A(A.pas) segment .itext\n\n   30 0002:00000010\n");
  const std::string text = SymText(map, {"x86", std::string(kZeroBreakpadId), "App.exe", "", ""});
  ExpectSameAnswers(map, text, "hand-made");
  EXPECT_NE(text.find("FUNC m 1200 "), std::string::npos) << text;
}

TEST(BreakpadSymbols, IdentityLines) {
  const SymbolMap map = SymbolMap::FromText(" Start Length Name Class\n 0001:0000000140001000 00000010H .text CODE\n");
  EXPECT_TRUE(map.WideStarts());
  EXPECT_EQ(SymText(map, {"x86_64", "ABC1", "app.pdb", "5F1E2A3B1d000", "App.exe"}),
            "MODULE windows x86_64 ABC1 app.pdb\nINFO CODE_ID 5F1E2A3B1d000 App.exe\n");
}

TEST(BreakpadSymbols, IdsAndNames) {
  // The GUID bytes as a CodeView record stores them.
  const std::array<uint8_t, 16> guid = {0x78, 0x56, 0x34, 0x12, 0xBC, 0x9A, 0xF0, 0xDE,
                                        0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  EXPECT_EQ(BreakpadDebugId(guid, 0x1A), "123456789ABCDEF00123456789ABCDEF1a");
  EXPECT_EQ(BreakpadDebugId({}, 0), kZeroBreakpadId);
  EXPECT_EQ(BreakpadCodeId(0x0000ABCD, 0x1E6000), "0000ABCD1e6000");
  const struct {
    const char* debugName;
    const char* symName;
  } kNames[] = {{"App.pdb", "App.sym"}, {"C:\\build\\Lib.PDB", "Lib.sym"}, {"App.exe", "App.exe.sym"},
                {"dir/Pkg.bpl", "Pkg.bpl.sym"}};
  for (const auto& n : kNames) EXPECT_EQ(BreakpadSymbolFileName(n.debugName), n.symName);
  const std::string sha(64, 'a');
  const std::string derived = BreakpadDerivedId("5F1E2A3B1d000", sha);
  EXPECT_EQ(derived.size(), 33u);
  EXPECT_NE(derived, kZeroBreakpadId);
  EXPECT_EQ(derived, BreakpadDerivedId("5F1E2A3B1d000", sha));
  EXPECT_NE(derived, BreakpadDerivedId("5F1E2A3B1d000", std::string(64, 'b')));
  EXPECT_NE(derived, BreakpadDerivedId("5F1E2A3B1e000", sha));
}

}  // namespace
}  // namespace qf
