// The real main window in this process: its first activation, and files
// dragged onto it through OLE's own drag loop with a real data object
// carrying a CF_HDROP list.
#include <windows.h>
#include <ole2.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Application.h"
#include "base/Errors.h"
#include "ExePath.h"
#include "FormsTestSupport.h"
#include "TestDataObject.h"
#include "U_DragDrop.h"
#include "db/U_MAPDb.h"
#include "map/U_MAPFile.h"
#include "U_MainDlg.h"
#include "U_Utils.h"

namespace qf {
namespace {

using test::BoxWatcher;
using test::Pump;
using Names = std::vector<std::string>;

constexpr const char* kTitle = "Quillfen drop test";

// Three line entries of one source file.
constexpr const char* kMapText =
    "\r\n Start         Length     Name                   Class\r\n"
    " 0001:00000000 00000400H .text                   CODE\r\n\r\n"
    "Line numbers for Engine(Engine.src) segment .text\r\n\r\n"
    "    10 0001:00000100    11 0001:00000110    12 0001:00000120\r\n\r\n";

constexpr const char* kShortMapText =
    "Line numbers for Main(Main.src) segment .text\r\n\r\n"
    "     5 0001:00000200     6 0001:00000210\r\n";

constexpr const char* kNoLinesText =
    "\r\n Start         Length     Name                   Class\r\n"
    " 0001:00000000 00000400H .text                   CODE\r\n";

// A fresh folder in the temporary directory, removed with its files.
class Scratch {
 public:
  Scratch() {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    path_ = std::string(temp) + "qf-maindlg-" + std::to_string(GetCurrentProcessId()) + "\\";
    CreateDirectoryA(path_.c_str(), nullptr);
  }
  ~Scratch() {
    for (const std::string& file : files_) DeleteFileA(file.c_str());
    RemoveDirectoryA(path_.c_str());
  }
  std::string Write(const std::string& name, const std::string& text) {
    const std::string file = path_ + name;
    std::ofstream(file, std::ios::binary) << text;
    files_.push_back(file);
    return file;
  }
  std::string Name(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

// A drag source that lets go at once, as a user releasing the mouse button.
class ReleasingDropSource : public IDropSource {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDropSource)) ? this : nullptr;
    return *object ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE QueryContinueDrag(BOOL escape, DWORD) override {
    if (escape) return DRAGDROP_S_CANCEL;
    return ++polls_ > 2 ? DRAGDROP_S_DROP : S_OK;
  }
  HRESULT STDMETHODCALLTYPE GiveFeedback(DWORD) override { return DRAGDROP_S_USEDEFAULTCURSORS; }

 private:
  int polls_ = 0;
};

std::wstring Wide(const std::string& text) { return AnsiToWide(text); }

class MainDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Application().SetTitle(kTitle);
    dlg_ = std::make_unique<TMainDlg>();
    Application().SetMainForm(dlg_.get());
  }
  void TearDown() override {
    dlg_.reset();
    RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velmora", kTitle);
    Application().SetMainForm(nullptr);
    // The main window's end posts the quit of the program: not here.
    MSG quit;
    PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
  }

  // Shows the window; the program becomes active and the window sets itself up.
  void ShowAndActivate() {
    dlg_->Show();
    Pump(300);
    if (!dlg_->DroppedFiles()) {  // the system did not switch applications
      Application().NotifyActivateApp(false);
      Application().NotifyActivateApp(true);
    }
    ASSERT_NE(dlg_->DroppedFiles(), nullptr);
  }

  // Drags the names onto the middle of the window and lets go. The result of
  // OLE's drag loop, which returns only once the window has handled the drop.
  HRESULT DragOnto(const Names& names) {
    std::vector<std::wstring> wide;
    for (const std::string& name : names) wide.push_back(Wide(name));
    test::TestDataObject data;
    data.Offer(CF_HDROP, test::DropFilesBlock(wide, true));
    SetWindowPos(dlg_->Handle(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    RECT frame;
    GetWindowRect(dlg_->Handle(), &frame);
    SetCursorPos((frame.left + frame.right) / 2, (frame.top + frame.bottom) / 2);
    ReleasingDropSource source;
    DWORD effect = DROPEFFECT_NONE;
    return DoDragDrop(&data, &source, DROPEFFECT_COPY, &effect);
  }

  std::unique_ptr<TMainDlg> dlg_;
};

std::string RegistryValue(const std::string& name) {
  char value[MAX_PATH * 2] = {};
  DWORD size = sizeof(value);
  if (RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velmora", name.c_str(), RRF_RT_REG_SZ, nullptr,
                   value, &size) != ERROR_SUCCESS) {
    return "(none)";
  }
  return value;
}

TEST_F(MainDlgTest, FirstActivationSetsTheWindowUpOnce) {
  EXPECT_EQ(dlg_->Caption(), "Quillfen");
  EXPECT_EQ(dlg_->DroppedFiles(), nullptr);
  EXPECT_EQ(dlg_->MapFile(), nullptr);
  RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velmora", kTitle);

  ShowAndActivate();
  const std::string exe = ExecutablePath();
  EXPECT_EQ(dlg_->Caption(), std::string(kTitle) + " v1.0.0.0");
  EXPECT_EQ(RegistryValue(kTitle), exe);
  ASSERT_NE(dlg_->MapDB(), nullptr);
  EXPECT_EQ(dlg_->MapDB()->RootFolder(), exe.substr(0, exe.rfind('\\') + 1) + "db\\");
  ASSERT_NE(dlg_->MapFile(), nullptr);
  EXPECT_FALSE(dlg_->MapFile()->Loaded());
  EXPECT_TRUE(dlg_->DroppedFiles()->empty());
  EXPECT_FALSE(dlg_->AppEvt.OnActivate);

  // Switching away and back changes nothing.
  const TMapFile* table = dlg_->MapFile();
  const TMapDB* db = dlg_->MapDB();
  dlg_->SetCaption("switched");
  RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velmora", kTitle);
  Application().NotifyActivateApp(false);
  Application().NotifyActivateApp(true);
  EXPECT_EQ(dlg_->Caption(), "switched");
  EXPECT_EQ(dlg_->MapFile(), table);
  EXPECT_EQ(dlg_->MapDB(), db);
  EXPECT_EQ(RegistryValue(kTitle), "(none)");
}

TEST_F(MainDlgTest, DroppedFilesLoadOnlyWhenTheFirstNameIsAMapFile) {
  Scratch scratch;
  const std::string map = scratch.Write("X.MAP", kMapText);
  const std::string other = scratch.Write("Y.map", kMapText);
  const std::string text = scratch.Write("notes.txt", kMapText);
  const std::string noExtension = scratch.Write("map", kMapText);
  const struct {
    const char* what;
    Names names;
    bool loads;
  } cases[] = {
      {"X.MAP", {map}, true},
      {"a .map in lower case behind another", {other, text}, true},
      {"a .txt file", {text}, false},
      {"a .txt first, then a .map", {text, map}, false},
      {"a name without extension", {noExtension}, false},
  };
  ShowAndActivate();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    dlg_->stats_lbl.SetText("before");
    dlg_->addr_txt.SetText("0x00401100");
    EXPECT_EQ(DragOnto(c.names), DRAGDROP_S_DROP);
    EXPECT_EQ(dlg_->stats_lbl.Text(), c.loads ? "Loaded successfully (3 items)" : "before");
    EXPECT_EQ(dlg_->addr_txt.Text(), c.loads ? "" : "0x00401100");
    EXPECT_TRUE(dlg_->DroppedFiles()->empty());
  }
}

TEST_F(MainDlgTest, ADroppedFileThatCannotBeReadIsReportedAfterTheDrop) {
  Scratch scratch;
  const std::string good = scratch.Write("good.map", kMapText);
  const std::string missing = scratch.Name("missing.map");
  ShowAndActivate();
  ASSERT_EQ(DragOnto({good}), DRAGDROP_S_DROP);
  ASSERT_EQ(dlg_->stats_lbl.Text(), "Loaded successfully (3 items)");

  BoxWatcher watcher;
  dlg_->addr_txt.SetText("0x00401100");
  // The drag source gets its answer before any box is shown.
  EXPECT_EQ(DragOnto({missing}), DRAGDROP_S_DROP);
  EXPECT_EQ(watcher.Seen().count, 0);
  EXPECT_TRUE(dlg_->DroppedFiles()->empty());
  EXPECT_EQ(dlg_->addr_txt.Text(), "");
  EXPECT_EQ(dlg_->stats_lbl.Text(), "Loaded successfully (3 items)");

  Pump(500);
  ASSERT_EQ(watcher.Seen().count, 1);
  EXPECT_EQ(watcher.Seen().caption, kTitle);
  EXPECT_EQ(watcher.Seen().text.rfind("Impossible d'ouvrir le fichier \"" + missing + "\". ", 0), 0u)
      << watcher.Seen().text;
  EXPECT_EQ(watcher.Seen().text.back(), '.');
  EXPECT_TRUE(watcher.Seen().stopIcon);

  // The next drop starts from an empty list.
  const std::string shorter = scratch.Write("shorter.map", kShortMapText);
  EXPECT_EQ(DragOnto({shorter}), DRAGDROP_S_DROP);
  Pump(300);
  EXPECT_EQ(dlg_->stats_lbl.Text(), "Loaded successfully (2 items)");
  EXPECT_EQ(watcher.Seen().count, 1);
}

TEST_F(MainDlgTest, LoadMapFileWritesTheStatusWithThePrefix) {
  Scratch scratch;
  const std::string good = scratch.Write("2.1.map", kMapText);
  const std::string noLines = scratch.Write("none.map", kNoLinesText);
  ShowAndActivate();
  const struct {
    std::string file;
    std::string prefix;
    std::string status;
  } cases[] = {
      {good, "Demo v2.1", "Demo v2.1 : Loaded successfully (3 items)"},
      {good, "", "Loaded successfully (3 items)"},
      {noLines, "Demo v2.1", "NOT Loaded (error)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    dlg_->addr_txt.SetText("0x45894F");
    dlg_->LoadMapFile(c.file, c.prefix);
    EXPECT_EQ(dlg_->stats_lbl.Text(), c.status);
    EXPECT_EQ(dlg_->addr_txt.Text(), "");
  }
  // A file that cannot be read: the error goes to the caller, the label stays.
  EXPECT_THROW(dlg_->LoadMapFile(scratch.Name("gone.map"), ""), EFOpenError);
  EXPECT_EQ(dlg_->stats_lbl.Text(), "NOT Loaded (error)");
}

TEST_F(MainDlgTest, DestructionRevokesTheDropRegistration) {
  ShowAndActivate();
  const HWND window = dlg_->Handle();
  const long destroyed = TMyDropTarget::Destructions();
  dlg_.reset();
  EXPECT_EQ(TMyDropTarget::Destructions(), destroyed + 1);
  EXPECT_FALSE(IsWindow(window));
}

}  // namespace
}  // namespace qf
