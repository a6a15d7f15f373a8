// The database browser and the add-version dialog of Quillfen.exe, driven as
// a person would: the "MAP Database" button, the tree, Load, Add with the
// open dialog and the add dialog, and the message boxes. The database folder
// is filled and read by the tests through the file system, so every answer
// is known exactly.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "AppSession.h"

namespace {

using namespace qfgui;

const char* const kEngineLoaded = "Loaded successfully (5 items)";

// The names of a folder's entries in the order the file system lists them
// (the order the program's database sees), without "." and "..".
std::vector<std::string> Listing(const std::string& folder, const std::string& pattern = "*") {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(JoinPath(folder, pattern).c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(find, &found));
  FindClose(find);
  return names;
}

std::string ReadAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// The tree as lines: "Project" for a top-level node, "  version" below it.
std::vector<std::string> Lines(const std::vector<TreeNode>& tree) {
  std::vector<std::string> lines;
  for (const TreeNode& project : tree) {
    lines.push_back(project.text);
    for (const TreeNode& version : project.children) lines.push_back("  " + version.text);
  }
  return lines;
}

class DbBrowserTest : public AppSession {
 protected:
  std::string Db() const { return app_->File("db"); }
  std::string DbFile(const std::string& relative) const { return JoinPath(Db(), relative); }
  void MakeFolder(const std::string& relative) const {
    ASSERT_TRUE(CreateDirectoryA(DbFile(relative).c_str(), nullptr)) << relative;
  }
  void Store(const std::string& relative, const std::string& text) const { WriteFile(DbFile(relative), text); }

  // "MAP Database" on the main window; the browser once it is shown.
  HWND OpenBrowser() {
    Click(Child(main_, IDC_MAIN_DB_BTN));
    browser_ = proc_->WaitForWindow(QF_CLASS_DBDLG);
    Sync(browser_);
    return browser_;
  }
  HWND Tree() const { return Child(browser_, IDC_DB_TV); }
  HWND BrowserButton(int id) const { return Child(browser_, id); }
  bool BrowserShown() const { return IsWindow(browser_) && IsWindowVisible(browser_); }
  std::vector<std::string> TreeLines() const { return Lines(ReadTree(Tree())); }

  // Add, then the chosen file in the open dialog.
  void ChooseForAdd(const std::string& mapFile) {
    Click(BrowserButton(IDC_DB_ADD_BTN));
    ChooseFile(proc_->WaitForFileDialog(), mapFile);
  }
  // Add and the open dialog; the add dialog once it is shown.
  HWND StartAdd(const std::string& mapFile) {
    ChooseForAdd(mapFile);
    return proc_->WaitForWindow(QF_CLASS_ADDDLG);
  }
  // Types both names into the add dialog and presses Ok; the message that
  // followed ("" for none).
  std::string FinishAdd(HWND add, const std::string& project, const std::string& version) {
    SetText(Child(add, IDC_ADD_PROJECT_CMB), project);
    SetText(Child(add, IDC_ADD_VERSION_TXT), version);
    Click(Child(add, IDC_ADD_OK_BTN));
    return MessageAfterAction();
  }
  std::string Add(const std::string& mapFile, const std::string& project, const std::string& version) {
    return FinishAdd(StartAdd(mapFile), project, version);
  }

  // Selects the node at path (its project is expanded to show it).
  HTREEITEM Select(const std::vector<std::string>& path) {
    const TreeNode node = FindTreeNode(Tree(), path);
    SelectTreeItem(Tree(), node.item);
    Sync(browser_);
    return node.item;
  }

  // Every entry under the database folder, as "project" and "project\file".
  std::vector<std::string> DbContents() const {
    std::vector<std::string> all;
    for (const std::string& project : Listing(Db())) {
      all.push_back(project);
      if (FolderExists(DbFile(project)))
        for (const std::string& file : Listing(DbFile(project))) all.push_back(project + "\\" + file);
    }
    return all;
  }

  HWND browser_ = nullptr;
};

TEST_F(DbBrowserTest, EmptyDatabaseShowsAnEmptyTreeAndLoadDoesNothing) {
  OpenBrowser();
  EXPECT_TRUE(TreeLines().empty());
  Click(BrowserButton(IDC_DB_LOAD_BTN));
  EXPECT_EQ(MessageAfterAction(), "");
  PressEnter(Tree());
  EXPECT_EQ(MessageAfterAction(), "");
  EXPECT_TRUE(BrowserShown()) << "the browser closed without a load";
  EXPECT_EQ(Status(), "");
  // Esc is the Close button.
  PressKey(Tree(), VK_ESCAPE);
  WaitOrThrow([&] { return !BrowserShown(); }, "the browser to close on Esc");
  EXPECT_EQ(Status(), "");
}

TEST_F(DbBrowserTest, LayoutCaptionsAndKeysOfTheBrowser) {
  OpenBrowser();
  EXPECT_EQ(TextOf(browser_), "MAP Database");
  ExpectPlacements(browser_, {
                                 {IDC_DB_TV, "", 8, 8, 273, 153},
                                 {IDC_DB_GRP, "MAP Database", 0, 168, 289, 49},
                                 {IDC_DB_LOAD_BTN, "Load", 8, 184, 75, 25},
                                 {IDC_DB_ADD_BTN, "Add", 88, 184, 75, 25},
                                 {IDC_DB_CLOSE_BTN, "Close", 208, 184, 75, 25},
                             });
  EXPECT_EQ(ClientSize(browser_).cx, 289);
  EXPECT_EQ(ClientSize(browser_).cy, 218);
  ExpectDialogFrame(browser_);
  ExpectCentredOver(browser_, main_);
  EXPECT_EQ(GetWindow(browser_, GW_OWNER), main_);
  EXPECT_FALSE(IsWindowEnabled(main_)) << "the browser is not modal";
  EXPECT_EQ(SendMessageA(Tree(), TVM_GETINDENT, 0, 0), 19);
  EXPECT_EQ(DefaultButtonId(browser_), IDC_DB_LOAD_BTN);
  ExpectTabOrder(browser_, {IDC_DB_TV, IDC_DB_LOAD_BTN, IDC_DB_ADD_BTN, IDC_DB_CLOSE_BTN});
  Click(BrowserButton(IDC_DB_CLOSE_BTN));
  WaitOrThrow([&] { return !BrowserShown(); }, "the browser to close on Close");
  EXPECT_TRUE(IsWindowEnabled(main_));
}

TEST_F(DbBrowserTest, TreeShowsProjectsReversedWithoutEmptyOnesAndAllCollapsed) {
  MakeFolder("Alpha");
  Store("Alpha\\1.0.map", kOtherMap);
  Store("Alpha\\0.9.MAP", kOtherMap);
  MakeFolder("Beta");  // no version: not shown
  MakeFolder("Gamma");
  Store("Gamma\\2.0.map", kOtherMap);
  Store("Gamma\\notes.txt", "not a version");
  MakeFolder("Delta");  // no ".map" file: not shown
  Store("Delta\\readme.txt", "not a version");
  Store("plain.map", kOtherMap);  // a plain file in the root: not shown

  // What the database lists, in the file system's order.
  std::vector<std::string> expected;
  for (const std::string& project : Listing(Db())) {
    std::vector<std::string> versions;
    for (const std::string& version : Listing(DbFile(project), "*.map")) versions.push_back("  " + Lower(version));
    if (versions.empty() || !FolderExists(DbFile(project))) continue;
    versions.insert(versions.begin(), project);
    expected.insert(expected.begin(), versions.begin(), versions.end());  // each project goes first
  }
  ASSERT_EQ(expected.size(), 5u);

  OpenBrowser();
  EXPECT_EQ(TreeLines(), expected);
  // (The tree, focused first, may select its first node; that selects no version.)
  for (const TreeNode& project : ReadTree(Tree())) {
    EXPECT_FALSE(project.expanded) << project.text;
    for (const TreeNode& version : project.children) EXPECT_FALSE(version.selected) << version.text;
  }
}

TEST_F(DbBrowserTest, AddThroughBothDialogsThenFindAndLoadTheVersion) {
  OpenBrowser();
  const HWND add = StartAdd(app_->File("Engine.map"));
  // An empty database: no project offered, both fields empty.
  EXPECT_TRUE(ComboItems(Child(add, IDC_ADD_PROJECT_CMB)).empty());
  EXPECT_EQ(TextOf(Child(add, IDC_ADD_PROJECT_CMB)), "");
  EXPECT_EQ(TextOf(Child(add, IDC_ADD_VERSION_TXT)), "");
  EXPECT_EQ(FinishAdd(add, "Demo", "2.1"), "") << "no message on success";
  EXPECT_FALSE(IsWindowVisible(add));

  // Stored as db\Demo\2.1.map, byte for byte; the browser stays open.
  EXPECT_EQ(ReadAll(DbFile("Demo\\2.1.map")), kEngineMap);
  EXPECT_EQ(DbContents(), (std::vector<std::string>{"Demo", "Demo\\2.1.map"}));
  ASSERT_TRUE(BrowserShown());
  EXPECT_EQ(TreeLines(), (std::vector<std::string>{"Demo", "  2.1.map"}));
  EXPECT_EQ(Status(), "") << "the add touched the main window";

  const TreeNode version = FindTreeNode(Tree(), {"Demo", "2.1.map"});
  DoubleClickTreeItem(Tree(), version.item);
  WaitOrThrow([&] { return !BrowserShown(); }, "the browser to close after the load");
  EXPECT_EQ(MessageAfterAction(), "");
  EXPECT_EQ(Status(), std::string("Demo v2.1 : ") + kEngineLoaded);
  SaveScreenshot(main_, JoinPath(ShotsFolder(), "main-window-db-loaded.bmp"));
  SetText(Child(main_, IDC_MAIN_ADDR_TXT), "0x0045894F");
  Click(Child(main_, IDC_MAIN_SEARCH_BTN));
  EXPECT_EQ(MessageAfterAction(), "Crash found in C:\\Src\\Main.src at line 40");
}

TEST_F(DbBrowserTest, LoadButtonAndEnterLoadTheSelectedVersion) {
  MakeFolder("Demo");
  Store("Demo\\2.1.map", kEngineMap);
  MakeFolder("Tools");
  Store("Tools\\0.5.map", kOtherMap);
  struct Case {
    const char* how;
    std::vector<std::string> path;
    const char* status;
  };
  const Case cases[] = {
      {"Load", {"Demo", "2.1.map"}, "Demo v2.1 : Loaded successfully (5 items)"},
      {"Enter", {"Tools", "0.5.map"}, "Tools v0.5 : Loaded successfully (1 items)"},
  };
  for (const Case& c : cases) {
    OpenBrowser();
    Select(c.path);
    if (std::string(c.how) == "Load") {
      Click(BrowserButton(IDC_DB_LOAD_BTN));
    } else {
      Focus(Tree());
      PressEnter(Tree());
    }
    WaitOrThrow([&] { return !BrowserShown(); }, std::string("the browser to close after ") + c.how);
    EXPECT_EQ(MessageAfterAction(), "") << c.how;
    EXPECT_EQ(Status(), c.status) << c.how;
  }
}

TEST_F(DbBrowserTest, ProjectNodeSelectedLoadsNothingAndTheBrowserStays) {
  MakeFolder("Demo");
  Store("Demo\\2.1.map", kEngineMap);
  OpenBrowser();
  const HTREEITEM project = Select({"Demo"});
  Click(BrowserButton(IDC_DB_LOAD_BTN));
  EXPECT_EQ(MessageAfterAction(), "");
  DoubleClickTreeItem(Tree(), project);
  EXPECT_EQ(MessageAfterAction(), "");
  Focus(Tree());
  PressEnter(Tree());
  EXPECT_EQ(MessageAfterAction(), "");
  EXPECT_TRUE(BrowserShown());
  EXPECT_EQ(Status(), "");
}

TEST_F(DbBrowserTest, VersionWithoutLineNumbersClosesTheBrowserWithTheStatus) {
  MakeFolder("Demo");
  Store("Demo\\0.1.map", kNoLinesMap);
  OpenBrowser();
  Select({"Demo", "0.1.map"});
  Click(BrowserButton(IDC_DB_LOAD_BTN));
  WaitOrThrow([&] { return !BrowserShown(); }, "the browser to close after the load");
  EXPECT_EQ(MessageAfterAction(), "");
  EXPECT_EQ(Status(), "NOT Loaded (error)");
}

TEST_F(DbBrowserTest, VersionThatCannotBeReadShowsTheErrorAndTheBrowserStays) {
  MakeFolder("Demo");
  Store("Demo\\2.1.map", kEngineMap);
  Store("Demo\\gone.map", kEngineMap);
  OpenBrowser();
  // Removed after the tree was filled.
  ASSERT_TRUE(DeleteFileA(DbFile("Demo\\gone.map").c_str()));
  Select({"Demo", "gone.map"});
  Click(BrowserButton(IDC_DB_LOAD_BTN));
  const auto box = BoxAfterAction();
  ASSERT_TRUE(box) << "no error box for a version that cannot be read";
  const std::string prefix = "Impossible d'ouvrir le fichier \"";
  EXPECT_EQ(box->text.substr(0, prefix.size()), prefix) << box->text;
  EXPECT_NE(Lower(box->text).find(Lower(DbFile("Demo\\gone.map"))), std::string::npos) << box->text;
  EXPECT_TRUE(box->stopIcon) << box->text;
  EXPECT_TRUE(BrowserShown()) << "the browser closed after a failed read";
  EXPECT_EQ(Status(), "");
  // The browser still works: the other version loads.
  Select({"Demo", "2.1.map"});
  Click(BrowserButton(IDC_DB_LOAD_BTN));
  WaitOrThrow([&] { return !BrowserShown(); }, "the browser to close after the load");
  EXPECT_EQ(Status(), std::string("Demo v2.1 : ") + kEngineLoaded);
}

TEST_F(DbBrowserTest, FileWithoutLineNumbersIsRefusedBeforeTheAddDialog) {
  OpenBrowser();
  ChooseForAdd(app_->File("NoLines.map"));
  EXPECT_EQ(MessageAfterAction(), "Invalid MAP file");
  EXPECT_EQ(proc_->FindWindowOrNull(QF_CLASS_ADDDLG), nullptr) << "the add dialog was shown";
  EXPECT_TRUE(DbContents().empty());
  EXPECT_TRUE(BrowserShown());
  EXPECT_EQ(Status(), "");
}

TEST_F(DbBrowserTest, FileThatCannotBeReadShowsTheErrorAndAddsNothing) {
  OpenBrowser();
  const std::string locked = app_->File("Other.map");
  // Held open without sharing: the program's open for reading fails.
  HANDLE hold = CreateFileA(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(hold, INVALID_HANDLE_VALUE);
  ChooseForAdd(locked);
  const auto box = BoxAfterAction();
  CloseHandle(hold);
  ASSERT_TRUE(box) << "no error box for a file that cannot be opened";
  EXPECT_EQ(box->text.rfind("Impossible d'ouvrir le fichier \"" + locked + "\". ", 0), 0u) << box->text;
  EXPECT_TRUE(box->stopIcon) << box->text;
  EXPECT_EQ(proc_->FindWindowOrNull(QF_CLASS_ADDDLG), nullptr) << "the add dialog was shown";
  EXPECT_TRUE(DbContents().empty());
  EXPECT_TRUE(BrowserShown());
  // Once readable, the same file is added.
  EXPECT_EQ(Add(locked, "Demo", "1.0"), "");
  EXPECT_EQ(DbContents(), (std::vector<std::string>{"Demo", "Demo\\1.0.map"}));
}

TEST_F(DbBrowserTest, AddDialogOffersTheListedProjectsAndStartsEmptyEachTime) {
  MakeFolder("Demo");
  Store("Demo\\1.0.map", kOtherMap);
  MakeFolder("Empty");
  Store("notes.txt", "a plain file");
  const std::vector<std::string> listed = Listing(Db());
  OpenBrowser();
  for (int run = 0; run < 2; ++run) {
    const HWND add = StartAdd(app_->File("Engine.map"));
    const HWND combo = Child(add, IDC_ADD_PROJECT_CMB);
    EXPECT_EQ(ComboItems(combo), listed) << "run " << run;
    EXPECT_EQ(TextOf(combo), listed.front()) << "run " << run;
    EXPECT_EQ(TextOf(Child(add, IDC_ADD_VERSION_TXT)), "") << "run " << run;
    // Typing starts in the project field.
    HWND focused = FocusedControl(add);
    EXPECT_TRUE(focused && (focused == combo || GetParent(focused) == combo)) << "run " << run;
    SetText(combo, "Typed");
    SetText(Child(add, IDC_ADD_VERSION_TXT), "9.9");
    Click(Child(add, IDC_ADD_CANCEL_BTN));
    EXPECT_EQ(MessageAfterAction(), "");
    WaitOrThrow([&] { return !IsWindowVisible(add); }, "the add dialog to close on Cancel");
  }
}

TEST_F(DbBrowserTest, OkNeedsAProjectFirstThenAVersion) {
  OpenBrowser();
  const HWND add = StartAdd(app_->File("Engine.map"));
  struct Case {
    const char* project;
    const char* version;
    const char* message;
  };
  const Case cases[] = {
      {"", "", "Invalid project name"},
      {"", "2.1", "Invalid project name"},
      {"Demo", "", "Invalid version name"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FinishAdd(add, c.project, c.version), c.message) << c.project << "/" << c.version;
    EXPECT_TRUE(IsWindowVisible(add)) << "the dialog closed on " << c.message;
  }
  // Enter is Ok.
  SetText(Child(add, IDC_ADD_PROJECT_CMB), "Demo");
  SetText(Child(add, IDC_ADD_VERSION_TXT), "2.1");
  Focus(Child(add, IDC_ADD_VERSION_TXT));
  PressEnter(Child(add, IDC_ADD_VERSION_TXT));
  WaitOrThrow([&] { return !IsWindowVisible(add); }, "the add dialog to close on Enter");
  EXPECT_EQ(MessageAfterAction(), "");
  EXPECT_EQ(DbContents(), (std::vector<std::string>{"Demo", "Demo\\2.1.map"}));
}

TEST_F(DbBrowserTest, VersionDifferingOnlyInCaseAlreadyExists) {
  MakeFolder("Demo");
  Store("Demo\\rc1.map", kOtherMap);
  OpenBrowser();
  EXPECT_EQ(Add(app_->File("Engine.map"), "Demo", "RC1"), "This version already exists");
  EXPECT_EQ(ReadAll(DbFile("Demo\\rc1.map")), kOtherMap) << "the stored version was replaced";
  EXPECT_EQ(DbContents(), (std::vector<std::string>{"Demo", "Demo\\rc1.map"}));
  EXPECT_TRUE(BrowserShown());
}

TEST_F(DbBrowserTest, ProjectTypedInAnotherCaseStoresIntoTheExistingFolder) {
  MakeFolder("Demo");
  Store("Demo\\1.0.map", kOtherMap);
  OpenBrowser();
  EXPECT_EQ(Add(app_->File("Engine.map"), "DEMO", "2.0"), "");
  EXPECT_EQ(Listing(Db()), std::vector<std::string>{"Demo"});
  EXPECT_EQ(ReadAll(DbFile("Demo\\2.0.map")), kEngineMap);
  std::vector<std::string> expected{"Demo"};
  for (const std::string& version : Listing(DbFile("Demo"))) expected.push_back("  " + version);
  EXPECT_EQ(TreeLines(), expected);
}

TEST_F(DbBrowserTest, PlainFileOfferedAsProjectCannotTakeAVersion) {
  Store("notes.txt", "a plain file");
  OpenBrowser();
  const HWND add = StartAdd(app_->File("Engine.map"));
  const HWND combo = Child(add, IDC_ADD_PROJECT_CMB);
  ASSERT_EQ(ComboItems(combo), std::vector<std::string>{"notes.txt"});
  EXPECT_EQ(TextOf(combo), "notes.txt");
  SetText(Child(add, IDC_ADD_VERSION_TXT), "1.0");
  Click(Child(add, IDC_ADD_OK_BTN));
  EXPECT_EQ(MessageAfterAction(), "Unable to create folder : notes.txt");
  EXPECT_EQ(DbContents(), std::vector<std::string>{"notes.txt"});
  EXPECT_EQ(ReadAll(DbFile("notes.txt")), "a plain file");
}

TEST_F(DbBrowserTest, UnsafeNamesAreRefusedAndNothingLeavesTheDatabase) {
  MakeFolder("Demo");
  Store("Demo\\1.0.map", kOtherMap);
  OpenBrowser();
  const std::string demo = DbFile("Demo") + "\\";
  struct Case {
    const char* project;
    const char* version;
    std::string message;
  };
  const Case cases[] = {
      {"..", "1.0", "Unable to create folder : .."},
      {".", "1.0", "Unable to create folder : ."},
      {"..\\Escaped", "1.0", "Unable to create folder : ..\\Escaped"},
      {"Demo/Sub", "1.0", "Unable to create folder : Demo/Sub"},
      {"C:Escaped", "1.0", "Unable to create folder : C:Escaped"},
      {"Demo", "..\\..\\escaped", "Unable to create file : " + demo + "..\\..\\escaped.map"},
      {"Demo", "sub/2.0", "Unable to create file : " + demo + "sub/2.0.map"},
      {"Demo", "2.0:stream", "Unable to create file : " + demo + "2.0:stream.map"},
      {"Demo", "..", "Unable to create file : " + demo + "...map"},
  };
  for (const Case& c : cases) {
    const std::string message = Add(app_->File("Engine.map"), c.project, c.version);
    EXPECT_EQ(Lower(message), Lower(c.message)) << c.project << " / " << c.version;
  }
  EXPECT_EQ(DbContents(), (std::vector<std::string>{"Demo", "Demo\\1.0.map"}));
  EXPECT_FALSE(FolderExists(app_->File("Escaped")));
  EXPECT_FALSE(FileExists(app_->File("escaped.map")));
  EXPECT_FALSE(FileExists(JoinPath(Db(), "escaped.map")));
  EXPECT_EQ(TreeLines(), (std::vector<std::string>{"Demo", "  1.0.map"}));
}

TEST_F(DbBrowserTest, CancellingEitherDialogChangesNothing) {
  MakeFolder("Demo");
  Store("Demo\\1.0.map", kOtherMap);
  OpenBrowser();
  const std::vector<std::string> before = DbContents();
  const std::vector<std::string> treeBefore = TreeLines();

  Click(BrowserButton(IDC_DB_ADD_BTN));
  Cancel(proc_->WaitForFileDialog());
  EXPECT_EQ(MessageAfterAction(), "");
  EXPECT_EQ(proc_->FindWindowOrNull(QF_CLASS_ADDDLG), nullptr);

  // The add dialog: Cancel, Esc and its close box, each with a new project typed.
  for (const char* how : {"Cancel", "Esc", "close box"}) {
    const HWND add = StartAdd(app_->File("Engine.map"));
    SetText(Child(add, IDC_ADD_PROJECT_CMB), "NewProject");
    SetText(Child(add, IDC_ADD_VERSION_TXT), "3.0");
    const std::string way = how;
    if (way == "Cancel") {
      Click(Child(add, IDC_ADD_CANCEL_BTN));
    } else if (way == "Esc") {
      Focus(Child(add, IDC_ADD_VERSION_TXT));
      PressKey(Child(add, IDC_ADD_VERSION_TXT), VK_ESCAPE);
    } else {
      PressCloseBox(add);
    }
    WaitOrThrow([&] { return !IsWindowVisible(add); }, "the add dialog to close on " + way);
    EXPECT_EQ(MessageAfterAction(), "") << how;
    EXPECT_TRUE(BrowserShown()) << how;
  }
  EXPECT_EQ(DbContents(), before);
  EXPECT_EQ(TreeLines(), treeBefore);
  EXPECT_EQ(Status(), "");
}

TEST_F(DbBrowserTest, SuccessfulAddRebuildsTheTreeCollapsedWithoutSelection) {
  MakeFolder("Demo");
  Store("Demo\\1.0.map", kOtherMap);
  MakeFolder("Tools");
  Store("Tools\\0.5.map", kOtherMap);
  OpenBrowser();
  Select({"Demo", "1.0.map"});  // expands Demo
  ASSERT_TRUE(FindTreeNode(Tree(), {"Demo"}).expanded);
  EXPECT_EQ(Add(app_->File("Engine.map"), "Demo", "2.0"), "");
  EXPECT_TRUE(BrowserShown()) << "the browser closed after an add";
  for (const TreeNode& project : ReadTree(Tree())) {
    EXPECT_FALSE(project.expanded) << project.text;
    EXPECT_FALSE(project.selected) << project.text;
    for (const TreeNode& version : project.children) EXPECT_FALSE(version.selected) << version.text;
  }
  EXPECT_NO_THROW(FindTreeNode(Tree(), {"Demo", "2.0.map"}));
  // A new project appears as well.
  EXPECT_EQ(Add(app_->File("Other.map"), "Zeta", "1"), "");
  EXPECT_NO_THROW(FindTreeNode(Tree(), {"Zeta", "1.map"}));
}

TEST_F(DbBrowserTest, ScreenshotsOfTheBrowserAndTheAddDialog) {
  MakeFolder("Demo");
  Store("Demo\\2.0.map", kOtherMap);
  Store("Demo\\2.1.map", kEngineMap);
  MakeFolder("Tools");
  Store("Tools\\0.5.map", kOtherMap);
  OpenBrowser();
  Select({"Demo", "2.1.map"});
  SaveScreenshot(browser_, JoinPath(ShotsFolder(), "db-browser.bmp"));

  const HWND add = StartAdd(app_->File("Engine.map"));
  EXPECT_EQ(TextOf(add), "Add");
  SetText(Child(add, IDC_ADD_PROJECT_CMB), "Demo");
  SetText(Child(add, IDC_ADD_VERSION_TXT), "2.2");
  RECT both = UnionOfWindows(browser_, add);
  SaveScreenshot(both, JoinPath(ShotsFolder(), "db-browser-add.bmp"));
  Click(Child(add, IDC_ADD_CANCEL_BTN));
  EXPECT_EQ(MessageAfterAction(), "");
}

TEST_F(DbBrowserTest, LayoutCaptionsAndKeysOfTheAddDialog) {
  OpenBrowser();
  const HWND add = StartAdd(app_->File("Engine.map"));
  EXPECT_EQ(TextOf(add), "Add");
  ExpectPlacements(add, {
                            {IDC_ADD_PROJECT_GRP, "Project", 1, 1, 189, 49},
                            {IDC_ADD_PROJECT_CMB, "", 9, 17, 169, 21},
                            {IDC_ADD_VERSION_GRP, "Version", 1, 57, 189, 49},
                            {IDC_ADD_VERSION_TXT, "", 9, 73, 163, 21},
                            {IDC_ADD_OK_BTN, "Ok", 8, 112, 75, 25},
                            {IDC_ADD_CANCEL_BTN, "Cancel", 104, 112, 75, 25},
                        });
  EXPECT_EQ(ClientSize(add).cx, 194);
  EXPECT_EQ(ClientSize(add).cy, 149);
  ExpectDialogFrame(add);
  ExpectCentredOver(add, browser_);
  EXPECT_EQ(GetWindow(add, GW_OWNER), browser_);
  EXPECT_FALSE(IsWindowEnabled(browser_)) << "the add dialog is not modal";
  // A drop-down list with an editable text.
  EXPECT_EQ(GetWindowLongA(Child(add, IDC_ADD_PROJECT_CMB), GWL_STYLE) & 3, CBS_DROPDOWN);
  EXPECT_EQ(DefaultButtonId(add), IDC_ADD_OK_BTN);
  ExpectTabOrder(add, {IDC_ADD_PROJECT_CMB, IDC_ADD_VERSION_TXT, IDC_ADD_OK_BTN, IDC_ADD_CANCEL_BTN});
  Click(Child(add, IDC_ADD_CANCEL_BTN));
  EXPECT_EQ(MessageAfterAction(), "");
}

}  // namespace
