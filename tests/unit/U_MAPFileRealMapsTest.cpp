// MAP files written by real linkers for public projects. The counts and the
// answers were worked out from the files by hand and by an independent script.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "map/LookupTexts.h"
#include "TestFiles.h"
#include "map/U_MAPFile.h"

namespace qf {
namespace {

struct Lookup {
  const char* typed;
  const char* answer;
};

struct RealMap {
  const char* file;
  int32_t count;
  std::vector<Lookup> lookups;
};

const char* const kNotFound = "Crash Address not found in MAP file";

const RealMap kRealMaps[] = {
    {"bratpidd-Project1.map", 1691,
     {{"0x0048636C", "Crash found in Unit1.pas at line 865"},
      {"0x0048636D", "Crash found in Unit1.pas at line 818"},
      {"0x00486370", "Crash found in Unit1.pas at line 818"},
      {"0x0048D855", "Crash found in C:\\Users\\Bread\\Documents\\graphshitter\\Project1.dpr at line 21"},
      {"0x0048D865", kNotFound},
      {"0x00401000", kNotFound}}},
    {"erwan2212-Project1.map", 164,  // LF line ends
     {{"0x004538B8",
       "Crash found in C:\\Users\\erwan\\Documents\\-= SOURCES =-\\delphi\\system\\vdi\\Project1.dpr at line 14"},
      {"0x004524C0", "Crash found in vdi.pas at line 231"},
      {"0x004538C8", kNotFound}}},
    {"jansmits2024-Project1.map", 15397,
     {{"0x004B1388", "Crash found in C:\\Program Files (x86)\\Borland\\Delphi7\\Projects\\dosc\\Project1.dpr at line 12"},
      {"0x004B1390", "Crash found in C:\\Program Files (x86)\\Borland\\Delphi7\\Projects\\dosc\\Project1.dpr at line 12"},
      {"0x0043C6BF", "Crash found in EWebTools.pas at line 2042"},
      {"0x00450738", "Crash found in ExceptionLog.pas at line 3207"},
      {"0x004B13BC", kNotFound}}},
    {"leiyu-Project1.map", 3513,
     {{"0x00486EB8", "Crash found in D:\\workspace\\pyTest\\Project1.dpr at line 21"},
      {"0x0047D135", "Crash found in PythonEngine.pas at line 4994"},
      {"0x00486EC8", kNotFound}}},
    {"parkseeyoung-AuUpdateBackgroundService.map", 24100,
     {{"0x006A0458", "Crash found in EXMLBuilder.pas at line 197"},
      {"0x005800A7", "Crash found in advgdip.pas at line 4702"},
      {"0x004376B6", "Crash found in ExceptionLog.pas at line 14165"}}},
    {"parkseeyoung-Project1.map", 24092,
     {{"0x005800A2", "Crash found in advgdip.pas at line 4719"},
      {"0x006A03F8", "Crash found in EXMLBuilder.pas at line 197"},
      {"0x006A0408", kNotFound}}},
    {"zweig1971-Project1.map", 894,
     {{"0x004676F4", "Crash found in F:\\Projekte\\Delphi\\Kicker\\KickerFlasher\\Project1.dpr at line 19"},
      {"0x00462759", "Crash found in modulbus.pas at line 679"},
      {"0x00463D49", "Crash found in Unit4.pas at line 77"}}},
};

// Newer Delphi linkers: .itext pairs (segment 0002) count from the .itext
// start; a .text address near the start of the code is no longer answered by
// them, and .itext addresses are found.
const RealMap kModernMaps[] = {
    {"andremussche-VncDllLoader.map", 46969,
     {{"0x004018A0", kNotFound},  // System's .text code before its first line; SysUtils' .itext pairs moved away
      {"0x0040245C", "Crash found in System.pas at line 2724"},
      {"0x004EE010", "Crash found in System.pas at line 23077"},
      {"0x004EE0A9", "Crash found in System.pas at line 23131"},
      {"0x004EE0AA", kNotFound}}},
    {"jason-2018-Project1.map", 335, {{"0x004B08D0", "Crash found in ObjectDB.pas at line 1243"}}},
    {"tcollenghi-Project1.map", 798, {{"0x004BFC82", "Crash found in DCPice.pas at line 441"}}},
    {"bravesoftdz-cefclient.map", 2896, {{"0x004F38C5", "Crash found in cefclient.dpr at line 373"}}},
};

void LoadAndLookUp(const std::string& folder, const RealMap* first, const RealMap* last) {
  for (const RealMap* real = first; real != last; ++real) {
    const std::string path = folder + "/" + real->file;
    ASSERT_TRUE(test::Readable(path)) << "real MAP file missing: " << path;
    TMapFile map;
    map.Load(path);
    EXPECT_TRUE(map.Loaded()) << real->file;
    EXPECT_EQ(map.Count(), real->count) << real->file;
    for (const Lookup& l : real->lookups) EXPECT_EQ(AnswerSearch(map, l.typed).text, l.answer) << real->file << ' ' << l.typed;
  }
}

TEST(RealMaps, LoadAndLookUp) { LoadAndLookUp(QF_REALMAPS_DIR, std::begin(kRealMaps), std::end(kRealMaps)); }

TEST(RealMaps, ModernLayoutMovesTheCodeSegments) {
  LoadAndLookUp(QF_REALMAPS_MODERN_DIR, std::begin(kModernMaps), std::end(kModernMaps));
}

}  // namespace
}  // namespace qf
