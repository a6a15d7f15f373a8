// The symbol map on MAP files of real linkers (both layouts, Delphi and
// C++Builder, LF and CR LF) and on a hand-built 64-bit map. The answers were
// worked out by an independent script that reads the files with plain scans.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Errors.h"
#include "map/MapSymbolRows.h"
#include "map/SymbolMap.h"
#include "TestFiles.h"
#include "base/TextFile.h"

namespace qf {
namespace {

// nullptr: unknown. A null segment: the address is not in code.
struct Expected {
  uint64_t address;
  const char* segment;
  const char* unit;
  const char* function;
  uint64_t functionOffset;
  const char* file;
  int32_t line;  // -1: unknown
};

struct MapCase {
  const char* file;
  uint64_t imageBase;
  std::size_t codeSegments;
  std::vector<Expected> answers;
};

const char* const kPathUnit = "C:\\ANDRE\\MAP2DBG\\CALLDEMO\\DEBUG_BUILD\\CALLDEMO.OBJ";

const MapCase kModernMaps[] = {
    {"andremussche-VncDllLoader.map", 0x400000, 2,  // LF
     {{0x004E6446, ".text", "MainForm", "MainForm.TList<frViewer.TframViewer>.InsertRange", 0x46,
       "Generics.Collections.pas", 727},
      {0x004018A0, ".text", "System", nullptr, 0, nullptr, -1},  // before System's first public and line
      {0x0043DEB3, ".text", "Classes", "Classes.TThread.WaitFor", 0xF, "Classes.pas", 11604},
      {0x004EE010, ".itext", "System", "System.System", 0x10, "System.pas", 23077},
      {0x004EE18A, ".itext", "Variants", "Variants.Variants", 0x2, "Variants.pas", 6151},
      {0x004EEE30, ".itext", "VncDllLoader", "VncDllLoader.VncDllLoader", 0, "VncDllLoader.dpr", 12},
      {0x004EEE84, nullptr, nullptr, nullptr, 0, nullptr, -1},
      {0x00400FFF, nullptr, nullptr, nullptr, 0, nullptr, -1}}},
    {"jason-2018-Project1.map", 0x400000, 2,  // CR LF
     {{0x00401000, ".text", "System", nullptr, 0, nullptr, -1},  // offset-0 leftovers of other units
      {0x004B092F, ".itext", "Project1", "Project1.Project1", 0x13, "D:\\Berkeley DB\\build_win32\\Project1.dpr", 22},
      {0x0043DEB3, ".text", "Menus", "Menus.TMenuItem.AppendTo", 0x9F, nullptr, -1}}},
    {"tcollenghi-Project1.map", 0x400000, 2,
     {{0x004B904D, ".text", "Unit1", "Unit1.TForm1.BtnDescriptografaClick", 0x11, "Unit1.pas", 181},
      {0x004B7D13, ".text", "DCPdes", "DCPdes.TDCP_customdes.DecryptBlock", 0x97, "DCPdes.pas", 252},
      {0x004BFCF9, ".itext", "Project1", "Project1.Project1", 0x55, "Project1.dpr", 42}}},
    {"bravesoftdz-cefclient.map", 0x400000, 2,
     {{0x004EE087, ".text", "ceffilescheme", "ceffilescheme.TFileScheme.ReadResponse", 0x33, "ceffilescheme.pas", 390},
      // ceffilescheme's last line (392 at 0001:000ED08D) lies inside cefclient.
      {0x004EE08D, ".text", "cefclient", nullptr, 0, nullptr, -1},
      {0x004DF383, ".text", "ceflib", "ceflib.CefString", 0x2F, "ceflib.pas", 11165}}},
    {"andremussche-calldemo.map", 0x400000, 1,  // C++Builder 2006, CR LF
     {{0x00483430, "_TEXT", "C:\\PROGRAM FILES\\BORLAND\\BDS\\4.0\\LIB\\DEBUG\\VCLE.LIB|dstring",
       "__fastcall System::AnsiString::SetLength(int)", 4, nullptr, -1},
      {0x00401604, "_TEXT", kPathUnit, "WinMain", 4, nullptr, -1},
      {0x00401000, "_TEXT", nullptr, nullptr, 0, nullptr, -1},
      // A C++ name with a variadic "..." is a function, not type information.
      {0x00483407, "_TEXT", "C:\\PROGRAM FILES\\BORLAND\\BDS\\4.0\\LIB\\DEBUG\\VCLE.LIB|dstring",
       "System::AnsiString::sprintf(const char *, ...)", 0xB, nullptr, -1}}},
    {"WangGangNameZebei-Project1.map", 0x400000, 1,  // module path in GBK bytes
     {{0x00401C60, "_TEXT",
       "C:\\DOCUMENTS AND SETTINGS\\ZCC\\\xD7\xC0\xC3\xE6\\MDTMFSOFTMDBPOCTXTXUNHUAN520\\PROJECT1.OBJ", "WinMain", 8,
       nullptr, -1}}},
    {"MarcosFabioMartins-Project1.map", 0x400000, 1,
     {{0x004236DF, "_TEXT", nullptr, nullptr, 0, nullptr, -1}, {0x004236E0, nullptr, nullptr, nullptr, 0, nullptr, -1}}},
};

// The old layout: offsets of the CODE segment count from 0x401000.
const MapCase kOldMaps[] = {
    {"bratpidd-Project1.map", 0x400000, 1,
     {{0x0048C529, ".text", "Unit1", "TForm1.Button5Click", 0x15, "Unit1.pas", 1774},
      {0x0043DEB3, ".text", "Controls", "TControl.WMContextMenu", 0x10B, nullptr, -1}}},
    {"erwan2212-Project1.map", 0x400000, 1,
     {{0x00452431, ".text", "vdi", "vdi_open", 0x425, "vdi.pas", 228}}},
    {"zweig1971-Project1.map", 0x400000, 1,
     {{0x004620DB, ".text", "modulbus", "UserFlashprog", 0x49B, "modulbus.pas", 514}}},
    {"parkseeyoung-Project1.map", 0x400000, 1,  // C++Builder; the table's length is short
     {{0x005954C9, "_TEXT", "AdvGlowButton.pas", "Advglowbutton.TDBAdvGlowButton.SetDBButtonType", 0x71,
       "AdvGlowButton.pas", 6254},
      // In no unit, between SysUtils.hpp (ends at 0EF2, its last line 247 at
      // 0E88) and Unit1.cpp (from 0F58): the pairs around differ in file.
      {0x00401F02, "_TEXT", nullptr, "Sysutils.Exception", 0x7A, nullptr, -1},
      {0x00401F57, "_TEXT", nullptr, "Sysutils.Exception", 0xCF, nullptr, -1},
      // Between two stl/_string.h units (B519 to B85C): stl\_string.h:128 at
      // B515 and at B89E bracket it.
      {0x0040C528, "_TEXT", nullptr, "MyLog", 0x68, "stl\\_string.h", 128},
      // Past ExceptionLog.pas, a megabyte of code without lines.
      {0x0043E901, "_TEXT", nullptr, "Orasqlmonitor.TOraSQLMonitor", 1, nullptr, -1}}},
};

void ExpectAnswers(const SymbolMap& map, const std::vector<Expected>& answers, const std::string& label) {
  const auto same = [](const auto& got, const char* want) {
    return want == nullptr ? !got.has_value() : got.has_value() && *got == want;
  };
  for (const Expected& e : answers) {
    SCOPED_TRACE(label + " " + std::to_string(e.address));
    const Symbolized s = map.Symbolize(e.address);
    EXPECT_EQ(s.address, e.address);
    ASSERT_EQ(s.inCode, e.segment != nullptr);
    EXPECT_EQ(map.InCode(e.address), s.inCode);
    if (!s.inCode) continue;
    EXPECT_EQ(s.segment, e.segment);
    EXPECT_TRUE(same(s.unit, e.unit)) << s.unit.value_or("(none)");
    EXPECT_TRUE(same(s.function, e.function)) << s.function.value_or("(none)");
    if (e.function != nullptr) {
      EXPECT_EQ(s.functionOffset, e.functionOffset);
    }
    EXPECT_TRUE(same(s.file, e.file)) << s.file.value_or("(none)");
    EXPECT_EQ(s.line.value_or(-1), e.line);
  }
}

// The same text with every line end in the other form (LF <-> CR LF).
std::string SwapLineEnds(const std::string& text) {
  const bool crlf = text.find("\r\n") != std::string::npos;
  std::string out;
  for (const char c : text) {
    if (c == '\r' && crlf) continue;
    if (c == '\n' && !crlf) out += '\r';
    out += c;
  }
  return out;
}

template <std::size_t N>
void CheckFolder(const char* folder, const MapCase (&cases)[N]) {
  for (const MapCase& c : cases) {
    const std::string path = std::string(folder) + "/" + c.file;
    ASSERT_TRUE(test::Readable(path)) << "real MAP file missing: " << path;
    const SymbolMap map = SymbolMap::Load(path);
    EXPECT_EQ(map.ImageBase(), c.imageBase) << c.file;
    EXPECT_EQ(map.CodeSegments().size(), c.codeSegments) << c.file;
    ExpectAnswers(map, c.answers, c.file);
    // Every 13th byte of code answered together, out of order, as one by one.
    std::vector<uint64_t> addresses;
    for (const CodeSegment& segment : map.CodeSegments()) {
      for (uint64_t a = segment.start + segment.length + 13; a > segment.start; a -= 13) addresses.push_back(a);
    }
    const std::vector<Symbolized> together = map.Symbolize(addresses);
    ASSERT_EQ(together.size(), addresses.size());
    for (std::size_t i = 0; i < addresses.size(); ++i) {
      const Symbolized one = map.Symbolize(addresses[i]);
      ASSERT_TRUE(one.address == together[i].address && one.inCode == together[i].inCode &&
                  one.unit == together[i].unit && one.function == together[i].function &&
                  one.functionOffset == together[i].functionOffset && one.file == together[i].file &&
                  one.line == together[i].line)
          << c.file << " " << addresses[i];
    }
    ExpectAnswers(SymbolMap::FromText(SwapLineEnds(LoadTextBuffer(path))), c.answers,
                  std::string(c.file) + " (other line ends)");
  }
}

TEST(SymbolMapReal, ModernLayout) { CheckFolder(QF_REALMAPS_MODERN_DIR, kModernMaps); }
TEST(SymbolMapReal, OldLayout) { CheckFolder(QF_REALMAPS_DIR, kOldMaps); }

TEST(SymbolMapReal, SegmentsOfBothLayouts) {
  const std::string modern = std::string(QF_REALMAPS_MODERN_DIR) + "/andremussche-VncDllLoader.map";
  const std::string old = std::string(QF_REALMAPS_DIR) + "/parkseeyoung-Project1.map";
  ASSERT_TRUE(test::Readable(modern)) << "real MAP file missing: " << modern;
  ASSERT_TRUE(test::Readable(old)) << "real MAP file missing: " << old;
  const auto segments = SymbolMap::Load(modern).CodeSegments();
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(segments[0].id, "0001");
  EXPECT_EQ(segments[0].start, 0x401000u);
  EXPECT_EQ(segments[0].length, 0xEC3A0u);
  EXPECT_EQ(segments[1].name, ".itext");
  EXPECT_EQ(segments[1].start, 0x4EE000u);
  // Printed as 0000000CH: the segment reaches to the end of its last unit.
  const auto oldSegments = SymbolMap::Load(old).CodeSegments();
  ASSERT_EQ(oldSegments.size(), 1u);
  EXPECT_EQ(oldSegments[0].start, 0x401000u);
  EXPECT_EQ(oldSegments[0].length, 0x29ECB0u);
}

// A 64-bit table (16-digit starts) with the reading rules' corner cases.
const char kMap64[] =
    "\n"
    " Start         Length     Name                   Class\n"
    " 0001:0000000140001000 00001000H .text                   CODE\n"
    " 0002:0000000140003000 00000100H .itext                  ICODE\n"
    " 0003:0000000140004000 00000100H .data                   DATA\n"
    "\n"
    "Detailed map of segments\n"
    "\n"
    " 0001:00000000 00000800 C=CODE     S=.text    G=(none)   M=Alpha ACBP=A9\n"
    " 0001:00000800 00000900 C=CODE     S=.text    G=(none)   M=Lib/Beta.h ACBP=A9\n"
    " 0002:00000000 00000100 C=ICODE    S=.itext   G=(none)   M=Alpha ACBP=A9\n"
    "\n"
    "  Address             Publics by Name\n"
    "\n"
    " 0001:00000900       Beta.ByNameOnly\n"
    "\n"
    "  Address             Publics by Value\n"
    "\n"
    " 0001:00000010       Alpha.First\n"
    " 0001:00000010       Alpha.Same\n"
    " 0001:00000800       Beta..TType\n"
    " 0001:00000A00       operator delete(void *, unsigned int)\n"
    " 0003:00000000       Alpha.Data\n"
    " 0002:00000000       Alpha.Alpha\n"
    "\n"
    "Line numbers for Alpha(Alpha.pas) segment .text\n"
    "\n"
    "    10 0001:00000010    11 0001:00000020    12 0001:00000020\n"
    "\n"
    "Line numbers for Alpha(ALPHA.INC) segment .text\n"
    "\n"
    "     5 0001:00000030\n"
    "\n"
    "    99 0001:00000040\n"
    "Line numbers for lib\\beta(lib\\beta.h) segment .text\n"
    "\n"
    "    20 0001:00000900    21 0001:00001000\n"
    "    22 0001:00000810\n"
    "\n"
    "Line numbers for Alpha(Alpha.pas) segment .itext\n"
    "\n"
    "    30 0002:00000000    31 0001:00000050    32 0001:00000850\n";

TEST(SymbolMap, SixtyFourBitTableAndReadingRules) {
  const SymbolMap map = SymbolMap::FromText(kMap64);
  EXPECT_EQ(map.ImageBase(), 0x140000000u);
  ASSERT_EQ(map.CodeSegments().size(), 2u);
  EXPECT_EQ(map.CodeSegments()[0].length, 0x1100u);  // up to the end of Lib/Beta.h
  ExpectAnswers(map,
                {
                    {0x140001000, ".text", "Alpha", nullptr, 0, nullptr, -1},
                    {0x140001015, ".text", "Alpha", "Alpha.First", 5, "Alpha.pas", 10},  // first on a tie
                    {0x140001025, ".text", "Alpha", "Alpha.First", 0x15, "Alpha.pas", 11},
                    {0x140001035, ".text", "Alpha", "Alpha.First", 0x25, "ALPHA.INC", 5},
                    {0x140001045, ".text", "Alpha", "Alpha.First", 0x35, "ALPHA.INC", 5},  // 99: after the section's end
                    // A pair counts by its own segment number, whatever the header says.
                    {0x140001055, ".text", "Alpha", "Alpha.First", 0x45, "Alpha.pas", 31},
                    // Not below the unit's start; ".." names and Publics by Name are not
                    // read; 32 lies outside its unit.
                    {0x140001805, ".text", "Lib/Beta.h", nullptr, 0, nullptr, -1},
                    {0x140001850, ".text", "Lib/Beta.h", nullptr, 0, "lib\\beta.h", 22},
                    {0x140001950, ".text", "Lib/Beta.h", nullptr, 0, "lib\\beta.h", 20},
                    {0x140001A10, ".text", "Lib/Beta.h", "operator delete(void *, unsigned int)", 0x10, "lib\\beta.h", 20},
                    {0x1400020FF, ".text", "Lib/Beta.h", "operator delete(void *, unsigned int)", 0x6FF, "lib\\beta.h", 21},
                    {0x140002100, nullptr, nullptr, nullptr, 0, nullptr, -1},
                    {0x140003001, ".itext", "Alpha", "Alpha.Alpha", 1, "Alpha.pas", 30},
                    {0x140004000, nullptr, nullptr, nullptr, 0, nullptr, -1},
                    {0x40001015, nullptr, nullptr, nullptr, 0, nullptr, -1},  // the low 32 bits alone
                },
                "64-bit");
}

TEST(SymbolMapRows, TypeInformationIsTwoDotsOutsideParentheses) {
  const struct {
    const char* name;
    bool typeInformation;
  } cases[] = {
      {"ActnList..TAction", true},
      {"System...", true},
      {"..", true},
      {"A..B(int)", true},
      {"f(int)..g", true},
      {"f(..", true},  // never closed: outside every pair
      {"System::AnsiString::sprintf(const char *, ...)", false},
      {"f(a(..)b)", false},
      {"g(x)(y, ...)", false},
      {"Unit.TClass.Method", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsTypeInformation(c.name), c.typeInformation) << c.name;
}

TEST(SymbolMapRows, UnitRowsOfEveryLinker) {
  const struct {
    const char* row;
    const char* module;  // nullptr: not a unit row
  } cases[] = {
      {" 0001:00000000 00009391 C=CODE     S=.text    G=(none)   M=System   ACBP=A9", "System"},
      {" 0001:00010940 000000CE S=CODE    M=C:\\PROGRAM FILES (X86)\\EMBARCADERO\\STUDIO\\37.0\\LIB\\WIN64\\RELEASE\\C0W64W.O",
       "C:\\PROGRAM FILES (X86)\\EMBARCADERO\\STUDIO\\37.0\\LIB\\WIN64\\RELEASE\\C0W64W.O"},
      {" 0001:00000100 00000010H C=CODE M=Main.o ALIGN=16", "Main.o"},
      {" 0001:00000100 00000010 M=With Space.o ACBP=A9 ", "With Space.o"},
      {" 0001:00000100 00000010 C=CODE X M=Main.o", nullptr},  // a word that is no KEY=VALUE
      {" 0001:00000100 00000010 =CODE M=Main.o", nullptr},
      {" 0001:00000100 00000010 C=CODE S=.text", nullptr},
      {" 0001:00000100 M=Main.o", nullptr},
  };
  for (const auto& c : cases) {
    const auto row = ParseUnitRow(c.row);
    ASSERT_EQ(row.has_value(), c.module != nullptr) << c.row;
    if (row) {
      EXPECT_EQ(row->module, c.module) << c.row;
    }
  }
}

// A MAP file of RAD Studio 13 (C++Builder, Win64): unit rows without C=,
// G= or ACBP=.
const char kRadStudio13[] =
    "\r\n"
    " Start         Length     Name                   Class\r\n"
    " 0001:0000000140001000 00001000H .text                   CODE\r\n"
    "\r\n"
    "Detailed map of segments\r\n"
    "\r\n"
    " 0001:00000000 00000100 S=CODE    M=C:\\PROGRAM FILES (X86)\\EMBARCADERO\\STUDIO\\37.0\\LIB\\WIN64\\RELEASE\\C0W64W.O\r\n"
    " 0001:00000100 00000200 S=CODE    M=Main.cpp\r\n"
    "\r\n"
    "  Address             Publics by Value\r\n"
    "\r\n"
    " 0001:00000010       _wstartup\r\n"
    " 0001:00000110       Main(int)\r\n"
    " 0001:00000140       std::printf(const char *, ...)\r\n"
    " 0001:00000180       Sysinit...\r\n"
    "\r\n"
    "Line numbers for Main(Main.cpp) segment .text\r\n"
    "\r\n"
    "    10 0001:00000110    11 0001:00000140    12 0001:00000150\r\n";

TEST(SymbolMap, RadStudio13UnitRows) {
  const SymbolMap map = SymbolMap::FromText(kRadStudio13);
  ASSERT_EQ(map.CodeSegments().size(), 1u);
  EXPECT_EQ(map.ImageBase(), 0x140000000u);
  const char* const startup = "C:\\PROGRAM FILES (X86)\\EMBARCADERO\\STUDIO\\37.0\\LIB\\WIN64\\RELEASE\\C0W64W.O";
  ExpectAnswers(map,
                {
                    {0x140001020, ".text", startup, "_wstartup", 0x10, nullptr, -1},
                    // Functions are kept inside their unit.
                    {0x140001105, ".text", "Main.cpp", nullptr, 0, nullptr, -1},
                    {0x140001145, ".text", "Main.cpp", "std::printf(const char *, ...)", 5, "Main.cpp", 11},
                    {0x140001190, ".text", "Main.cpp", "std::printf(const char *, ...)", 0x50, "Main.cpp", 12},
                },
                "RAD Studio 13");
}

// Units A (100-200) and B (300-400); the rest of the segment is in no unit.
const char kGaps[] =
    " Start         Length     Name                   Class\n"
    " 0001:00401000 00001000H .text                   CODE\n"
    "\n"
    "Detailed map of segments\n"
    " 0001:00000100 00000100 C=CODE S=.text G=(none) M=A ACBP=A9\n"
    " 0001:00000300 00000100 C=CODE S=.text G=(none) M=B ACBP=A9\n"
    "\n"
    "Line numbers for A(a.pas) segment .text\n\n     1 0001:00000100     2 0001:000001F0\n\n"
    "Line numbers for G(g.pas) segment .text\n\n     3 0001:00000240     4 0001:00000280\n\n"
    "Line numbers for H(h.pas) segment .text\n\n     5 0001:00000280\n\n"
    "Line numbers for B(g.pas) segment .text\n\n     6 0001:00000300\n\n"
    "Line numbers for B(b.pas) segment .text\n\n     7 0001:00000380\n\n"
    "Line numbers for X(x.pas) segment .text\n\n     8 0001:00000500\n";

TEST(SymbolMap, OutsideUnitsOnlyPairsOfOneFileBracketALine) {
  ExpectAnswers(SymbolMap::FromText(kGaps),
                {
                    {0x401050, ".text", nullptr, nullptr, 0, nullptr, -1},     // nothing below
                    {0x4011F8, ".text", "A", nullptr, 0, "a.pas", 2},          // inside a unit
                    {0x401220, ".text", nullptr, nullptr, 0, nullptr, -1},     // a.pas below, g.pas above
                    {0x401250, ".text", nullptr, nullptr, 0, "g.pas", 3},      // g.pas on both sides
                    {0x401270, ".text", nullptr, nullptr, 0, "g.pas", 3},      // above: g.pas, first at 280
                    {0x401290, ".text", nullptr, nullptr, 0, "g.pas", 4},      // below: g.pas, first at 280
                    {0x401450, ".text", nullptr, nullptr, 0, nullptr, -1},     // b.pas below, x.pas above
                    {0x401520, ".text", nullptr, nullptr, 0, nullptr, -1},     // nothing above
                },
                "gaps");
}

TEST(SymbolMap, WithoutCodeOrTableNothingIsCode) {
  for (const char* text : {"", "Detailed map of segments\n 0001:00000000 00000010 C=CODE S=.text G=(none) M=A ACBP=A9\n",
                           " Start Length Name Class\n 0001:00000000 00000010H .data DATA\n"}) {
    const SymbolMap map = SymbolMap::FromText(text);
    EXPECT_TRUE(map.CodeSegments().empty());
    EXPECT_EQ(map.ImageBase(), 0x400000u);
    EXPECT_FALSE(map.Symbolize(0x401000).inCode);
  }
}

TEST(SymbolMap, LoadOfAMissingFileThrows) {
  EXPECT_THROW(SymbolMap::Load("no such folder/no such file.map"), EFOpenError);
}

}  // namespace
}  // namespace qf
