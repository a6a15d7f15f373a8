// Quillfen.exe's main window, driven as a person would: the program is copied
// into a fresh temporary folder (so its "db" folder starts empty), started,
// and used through its buttons, the open-file dialog, the address box and the
// message boxes. The MAP files are written by the tests, so every answer is
// known exactly.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "AppSession.h"
#include "ControlIds.h"
#include "GuiDriver.h"

namespace {

using namespace qfgui;

const char* const kRegistryKey = "SOFTWARE\\Velmora";
const char* const kEngineLoaded = "Loaded successfully (5 items)";

class MainWindowTest : public AppSession {
 protected:
  void SetUp() override {
    // The start must write the value itself.
    DeleteRegValue(HKEY_LOCAL_MACHINE, kRegistryKey, "Quillfen");
    AppSession::SetUp();
  }

  HWND Control(int id) const { return Child(main_, id); }
  std::string Address() const { return TextOf(Control(IDC_MAIN_ADDR_TXT)); }

  // Types the address, presses Search; the plain box's text, or "" for none.
  std::string Search(const std::string& typed) {
    SetText(Control(IDC_MAIN_ADDR_TXT), typed);
    Click(Control(IDC_MAIN_SEARCH_BTN));
    return MessageAfterAction();
  }

  // Load MAP File, choose the file in the dialog; the box that followed, if any.
  std::optional<MessageBoxView> LoadThroughDialog(const std::string& path) {
    Click(Control(IDC_MAIN_LOAD_BTN));
    const FileDialog dialog = proc_->WaitForFileDialog();
    ChooseFile(dialog, path);
    return BoxAfterAction();
  }

  void LoadEngineMap() {
    const auto box = LoadThroughDialog(app_->File("Engine.map"));
    ASSERT_FALSE(box) << box->text;
    ASSERT_EQ(Status(), kEngineLoaded);
  }
};

TEST_F(MainWindowTest, SearchBeforeAnyLoadAsksForAMapFile) {
  for (const char* typed : {"", "7", "0x0045894F", "0x400FFF"})
    EXPECT_EQ(Search(typed), "Please load a MAP file first") << "typed: " << typed;
  EXPECT_EQ(Status(), "");
}

TEST_F(MainWindowTest, StartRecordsThePathAndCreatesTheDatabaseFolder) {
  EXPECT_EQ(TextOf(main_), kCaptionAfterStart);
  const RegString recorded = ReadRegString(HKEY_LOCAL_MACHINE, kRegistryKey, "Quillfen");
  ASSERT_TRUE(recorded.found) << "HKLM\\SOFTWARE\\Velmora\\Quillfen was not written";
  EXPECT_EQ(CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, recorded.value.c_str(), -1,
                           app_->ExePath().c_str(), -1),
            CSTR_EQUAL)
      << recorded.value << " vs " << app_->ExePath();
  EXPECT_TRUE(FolderExists(app_->File("db")));
}

TEST_F(MainWindowTest, LoadThroughTheDialogReportsTheCountAndEmptiesTheAddressBox) {
  SetText(Control(IDC_MAIN_ADDR_TXT), "0x0045894F");
  Click(Control(IDC_MAIN_LOAD_BTN));
  const FileDialog dialog = proc_->WaitForFileDialog();
  // The filter combo (cmb1) offers the one entry "MAP File".
  if (HWND filter = FindChildOrNull(dialog.window, 0x470)) {
    EXPECT_EQ(TextOf(filter), "MAP File");
  }
  ChooseFile(dialog, app_->File("Engine.map"));
  const auto box = BoxAfterAction();
  EXPECT_FALSE(box) << box->text;
  EXPECT_EQ(Status(), kEngineLoaded);
  EXPECT_EQ(Address(), "");
  SaveScreenshot(main_, JoinPath(ShotsFolder(), "main-window.bmp"));
}

TEST_F(MainWindowTest, CancellingTheDialogChangesNothing) {
  LoadEngineMap();
  SetText(Control(IDC_MAIN_ADDR_TXT), "0x00401A10");
  Click(Control(IDC_MAIN_LOAD_BTN));
  Cancel(proc_->WaitForFileDialog());
  const auto box = BoxAfterAction();
  EXPECT_FALSE(box) << box->text;
  EXPECT_EQ(Status(), kEngineLoaded);
  EXPECT_EQ(Address(), "0x00401A10");
}

TEST_F(MainWindowTest, SearchAnswersFoundNotFoundInvalidAndNothing) {
  LoadEngineMap();
  struct Case {
    const char* typed;
    const char* answer;  // "" when no box may appear
  };
  const Case cases[] = {
      {"0x00401A10", "Crash found in Engine.src at line 12"},        // exact
      {"0x00401A20", "Crash found in Engine.src at line 13"},        // between 13 and 14
      {"00401A1C", "Crash found in Engine.src at line 13"},          // without 0x
      {"0X00401b00", "Crash found in Engine.src at line 14"},        // case of x and digits
      {"0x0045894F", "Crash found in C:\\Src\\Main.src at line 40"},  // path kept as stored
      {"0x00458980", "Crash found in C:\\Src\\Main.src at line 41"},
      {"0x00401B50", "Crash Address not found in MAP file"},  // between two sources
      {"0x00401000", "Crash Address not found in MAP file"},  // before the first entry
      {"0x00500000", "Crash Address not found in MAP file"},  // after the last
      {"0x400FFF", "Invalid Crash Address"},
      {"0x80000000", "Invalid Crash Address"},
      {"zz", "Invalid Crash Address"},
      {"0x401A10 ", "Invalid Crash Address"},
      {"7", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Search(c.typed), c.answer) << "typed: \"" << c.typed << "\"";
  EXPECT_EQ(Status(), kEngineLoaded);
}

TEST_F(MainWindowTest, EnterInTheAddressBoxRunsSearch) {
  LoadEngineMap();
  HWND address = Control(IDC_MAIN_ADDR_TXT);
  SetText(address, "0x00401A10");
  Focus(address);
  PressEnter(address);
  const MessageBoxView box = proc_->WaitForMessageBox();
  ExpectPlainBox(box);
  EXPECT_EQ(box.text, "Crash found in Engine.src at line 12");
  RECT both = UnionOfWindows(main_, box.window);
  SaveScreenshot(both, JoinPath(ShotsFolder(), "main-window-found.bmp"));
  PressOk(box);
}

TEST_F(MainWindowTest, MapFileWithoutLineNumbersIsNotLoaded) {
  LoadEngineMap();
  SetText(Control(IDC_MAIN_ADDR_TXT), "0x00401A10");
  const auto box = LoadThroughDialog(app_->File("NoLines.map"));
  EXPECT_FALSE(box) << box->text;
  EXPECT_EQ(Status(), "NOT Loaded (error)");
  EXPECT_EQ(Address(), "");
  EXPECT_EQ(Search("0x00401A10"), "Please load a MAP file first");
}

// A MAP file far larger than any test file (about 165 MB, 7 million
// entries, written here): the 32-bit program loads it whole, names the exact
// count and answers from its first and last sections.
TEST_F(MainWindowTest, LargeMapFileLoadsWithTheExactCount) {
  constexpr uint32_t kSections = 2000, kPairsPerSection = 3500;
  const std::string path = app_->File("Large.map");
  {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(out) << path;
    std::string chunk;
    char pair[32];
    uint32_t offset = 0x10;
    for (uint32_t section = 0; section < kSections; ++section) {
      chunk += "Line numbers for Unit" + std::to_string(section) + "(Unit" + std::to_string(section) +
               ".pas) segment .text\r\n\r\n";
      for (uint32_t i = 0; i < kPairsPerSection; ++i, offset += 4) {
        std::snprintf(pair, sizeof pair, "%6u 0001:%08X", static_cast<unsigned>(i + 1), static_cast<unsigned>(offset));
        chunk += pair;
        chunk += i % 4 == 3 ? "\r\n" : "    ";
      }
      chunk += "\r\n";
      if (chunk.size() > (1u << 20)) {
        ASSERT_EQ(std::fwrite(chunk.data(), 1, chunk.size(), out), chunk.size());
        chunk.clear();
      }
    }
    ASSERT_EQ(std::fwrite(chunk.data(), 1, chunk.size(), out), chunk.size());
    ASSERT_EQ(std::fclose(out), 0);
  }
  const uint32_t last = 0x10 + 4 * (kSections * kPairsPerSection - 1);
  Click(Control(IDC_MAIN_LOAD_BTN));
  ChooseFile(proc_->WaitForFileDialog(), path);
  Sync(main_, 180000);
  const auto box = BoxAfterAction();
  ASSERT_FALSE(box) << box->text;
  EXPECT_EQ(Status(), "Loaded successfully (" + std::to_string(kSections * kPairsPerSection) + " items)");
  char address[16];
  std::snprintf(address, sizeof address, "0x%08X", static_cast<unsigned>(0x401000 + last));
  EXPECT_EQ(Search(address), "Crash found in Unit" + std::to_string(kSections - 1) + ".pas at line " +
                                 std::to_string(kPairsPerSection));
  EXPECT_EQ(Search("0x00401016"), "Crash found in Unit0.pas at line 2");
}

TEST_F(MainWindowTest, FileInAFolderWithBlanksAndAccentsLoads) {
  const std::string folder = app_->File("Cartes de l'\xE9t\xE9");  // "été" in the ANSI code page
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  const std::string map = JoinPath(folder, "Engine v2.map");
  WriteFile(map, kEngineMap);
  const auto box = LoadThroughDialog(map);
  EXPECT_FALSE(box) << box->text;
  EXPECT_EQ(Status(), kEngineLoaded);
}

TEST_F(MainWindowTest, MessageBoxIsCentredOnTheScreenNotOnTheWindow) {
  // A person moves the window to a corner first.
  ASSERT_TRUE(SetWindowPos(main_, nullptr, 10, 10, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE));
  Sync(main_);
  SetText(Control(IDC_MAIN_ADDR_TXT), "0x00401A10");
  Click(Control(IDC_MAIN_SEARCH_BTN));
  const MessageBoxView box = proc_->WaitForMessageBox();
  RECT r{};
  GetWindowRect(box.window, &r);
  PressOk(box);
  EXPECT_NEAR((r.left + r.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2, 2);
  EXPECT_NEAR((r.top + r.bottom) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 2);
}

TEST_F(MainWindowTest, SecondLoadReplacesTheFirst) {
  LoadEngineMap();
  const auto box = LoadThroughDialog(app_->File("Other.map"));
  EXPECT_FALSE(box) << box->text;
  EXPECT_EQ(Status(), "Loaded successfully (1 items)");
  EXPECT_EQ(Search("0x00401100"), "Crash found in Other.src at line 7");
  EXPECT_EQ(Search("0x00401A10"), "Crash Address not found in MAP file");
}

TEST_F(MainWindowTest, UnreadableFileShowsTheErrorBoxAndKeepsTheTable) {
  LoadEngineMap();
  const std::string locked = app_->File("Other.map");
  // Held open without sharing: the program's open for reading fails.
  HANDLE hold = CreateFileA(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(hold, INVALID_HANDLE_VALUE);
  SetText(Control(IDC_MAIN_ADDR_TXT), "0x0045894F");
  const auto box = LoadThroughDialog(locked);
  CloseHandle(hold);
  ASSERT_TRUE(box) << "no error box for a file that cannot be opened";
  EXPECT_EQ(box->caption, "Quillfen");
  const std::string prefix = "Impossible d'ouvrir le fichier \"" + locked + "\". ";
  EXPECT_EQ(box->text.substr(0, prefix.size()), prefix) << box->text;
  EXPECT_GT(box->text.size(), prefix.size()) << "the system's reason is missing: " << box->text;
  EXPECT_EQ(box->text.back(), '.') << box->text;
  EXPECT_NE(box->text.substr(box->text.size() - 2), "..") << box->text;
  EXPECT_TRUE(box->hasIcon);
  EXPECT_TRUE(box->stopIcon) << "the error box's icon is not the red stop sign";
  EXPECT_EQ(box->buttons, std::vector<std::string>{"OK"});
  EXPECT_EQ(Status(), kEngineLoaded);
  EXPECT_EQ(Address(), "");
  EXPECT_EQ(Search("0x0045894F"), "Crash found in C:\\Src\\Main.src at line 40");
}

TEST_F(MainWindowTest, FirstActivationRunsOnce) {
  LoadEngineMap();
  // Marks that a second set-up would overwrite: the caption and the value.
  SetText(main_, "Quillfen (marked by the test)");
  DeleteRegValue(HKEY_LOCAL_MACHINE, kRegistryKey, "Quillfen");
  OtherWindow other;
  other.Activate();
  EXPECT_NE(Foreground(), main_);
  Activate(main_);
  Sync(main_);
  PumpMessages(300);
  EXPECT_EQ(TextOf(main_), "Quillfen (marked by the test)");
  EXPECT_FALSE(ReadRegString(HKEY_LOCAL_MACHINE, kRegistryKey, "Quillfen").found);
  EXPECT_EQ(Status(), kEngineLoaded);
  EXPECT_EQ(Search("0x00401A10"), "Crash found in Engine.src at line 12") << "the table was recreated";
}

TEST_F(MainWindowTest, TabMovesThroughTheControlsInOrder) {
  Activate(main_);
  ExpectTabOrder(main_, {IDC_MAIN_LOAD_BTN, IDC_MAIN_DB_BTN, IDC_MAIN_ADDR_TXT, IDC_MAIN_SEARCH_BTN,
                         IDC_MAIN_HELP_BTN});
}

TEST_F(MainWindowTest, LayoutAndCaptionsAreThoseOfTheForm) {
  ExpectPlacements(main_, {
      {IDC_MAIN_MAP_GRP, "MAP File", 0, 0, 337, 84},
      {IDC_MAIN_STATS_LBL, "", 8, 61, 321, 17},
      {IDC_MAIN_LOAD_BTN, "Load MAP File", 8, 15, 137, 41},
      {IDC_MAIN_DB_BTN, "MAP Database", 152, 15, 145, 41},
      {IDC_MAIN_CRASH_GRP, "Crash", 0, 88, 337, 89},
      {IDC_MAIN_ADDR_GRP, "Crash Address", 8, 105, 185, 60},
      {IDC_MAIN_ADDR_TXT, "", 16, 121, 162, 21},
      {IDC_MAIN_HELP_LBL, "ie : 0x0045894F", 16, 146, 76, 13},
      {IDC_MAIN_SEARCH_BTN, "Search", 199, 118, 130, 43},
      {IDC_MAIN_HELP_BTN, "Online Help File", 0, 183, 337, 41},
  });
  const SIZE client = ClientSize(main_);
  EXPECT_EQ(client.cx, 341);
  EXPECT_EQ(client.cy, 228);
  ExpectDialogFrame(main_);
  // Centred on the screen (to within a pixel of rounding).
  RECT w{};
  GetWindowRect(main_, &w);
  const int screenW = GetSystemMetrics(SM_CXSCREEN), screenH = GetSystemMetrics(SM_CYSCREEN);
  EXPECT_NEAR((w.left + w.right) / 2, screenW / 2, 1);
  EXPECT_NEAR((w.top + w.bottom) / 2, screenH / 2, 1);
  EXPECT_NE(GetMenu(main_), nullptr) << "no menu bar";
}

TEST_F(MainWindowTest, QuitEndsTheProgramCleanly) {
  LoadEngineMap();
  Command(main_, IDM_MAIN_QUIT);
  EXPECT_TRUE(proc_->WaitForExit(kDefaultTimeoutMs));
  EXPECT_EQ(proc_->ExitCode(), 0u);
}

TEST_F(MainWindowTest, CloseBoxEndsTheProgramCleanly) {
  LoadEngineMap();
  PressCloseBox(main_);
  EXPECT_TRUE(proc_->WaitForExit(kDefaultTimeoutMs));
  EXPECT_EQ(proc_->ExitCode(), 0u);
}

}  // namespace
