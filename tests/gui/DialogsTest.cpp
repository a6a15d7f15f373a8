// The three dialogs in this process, where what a person cannot see is
// observable: the result of each Execute, the tree built from a database
// listed in a known order, and the about box's texts taken from its text
// storage. The windows are the real ones; the database lists a fixed tree.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Application.h"
#include "FormsTestSupport.h"
#include "U_AddDlg.h"
#include "U_DbDlg.h"
#include "db/U_MAPDb.h"
#include "U_MainDlg.h"
#include "U_about.h"

namespace qf {
namespace {

using Names = std::vector<std::string>;
using Projects = std::vector<std::pair<std::string, Names>>;
constexpr const char* kTitle = "Quillfen dialogs test";
constexpr const char* kRoot = "C:\\fixed\\db\\";

// A database folder that exists only as listings, in the order given. A
// project named "Broken" cannot be listed (its listing raises).
class ListedFileSystem : public FileSystem {
 public:
  explicit ListedFileSystem(Projects projects) : projects_(std::move(projects)) {}

  std::string ReadWholeFile(const std::string&) const override { throw std::runtime_error("not here"); }
  std::unique_ptr<FileReader> OpenForReading(const std::string&) const override {
    throw std::runtime_error("not here");
  }
  bool FileExists(const std::string&) const override { return false; }
  bool DirectoryExists(const std::string& path) const override { return path == kRoot; }
  long long FileSize(const std::string&) const override { return -1; }
  bool CreateDir(const std::string&) const override { return false; }
  bool CopyNoReplace(const std::string&, const std::string&) const override { return false; }
  bool MoveNoReplace(const std::string&, const std::string&) const override { return false; }
  bool RemoveFile(const std::string&) const override { return false; }
  std::vector<FoundEntry> FindEntries(const std::string& pattern) const override {
    std::vector<FoundEntry> found{{".", true}, {"..", true}};
    if (pattern == std::string(kRoot) + "*") {
      for (const auto& project : projects_) found.push_back({project.first, true});
      return found;
    }
    for (const auto& project : projects_) {
      if (pattern != kRoot + project.first + "\\*.map") continue;
      if (project.first == "Broken") throw std::runtime_error("listing failed");
      for (const std::string& version : project.second) found.push_back({version, false});
    }
    return found;
  }

 private:
  Projects projects_;
};

class DialogsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Application().SetTitle(kTitle);
    main_ = std::make_unique<TMainDlg>();
    // The main window is never set up here: it has no line table, so a load
    // from the browser reads nothing, and nothing is written beside the
    // program or in the registry.
    main_->AppEvt.OnActivate = nullptr;
    Application().SetMainForm(main_.get());
    MainDlg = main_.get();
    db_ = std::make_unique<TDBDlg>(main_.get());
    DBDlg = db_.get();
    add_ = std::make_unique<TAddDlg>(db_.get());
    AddDlg = add_.get();
    about_ = std::make_unique<TAboutDlg>(main_.get());
    AboutDlg = about_.get();
  }
  void TearDown() override {
    AboutDlg = nullptr;
    about_.reset();
    AddDlg = nullptr;
    add_.reset();
    DBDlg = nullptr;
    db_.reset();
    MainDlg = nullptr;
    main_.reset();
    Application().SetMainForm(nullptr);
    // The main window's end posts the quit of the program: not here.
    MSG quit;
    PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
  }

  // The tree as lines: "Project" for a top-level node, "  version" below it.
  Names TreeLines() const {
    Names lines;
    const TTreeView& tv = db_->tv;
    for (TTreeNode project = tv.FirstNode(); project; project = tv.NextSibling(project)) {
      lines.push_back(tv.NodeText(project));
      for (TTreeNode version = tv.FirstChild(project); version; version = tv.NextSibling(version))
        lines.push_back("  " + tv.NodeText(version));
    }
    return lines;
  }

  // Runs the form's Execute while the action is done from inside its loop.
  // No message box may appear (one would be closed and reported).
  static bool ExecuteWith(const std::function<bool()>& execute, const std::function<void()>& action) {
    test::BoxWatcher boxes;
    test::LoopActions actions({action});
    const bool result = execute();
    EXPECT_EQ(boxes.Seen().count, 0) << boxes.Seen().text;
    return result;
  }

  std::unique_ptr<TMainDlg> main_;
  std::unique_ptr<TDBDlg> db_;
  std::unique_ptr<TAddDlg> add_;
  std::unique_ptr<TAboutDlg> about_;
};

TEST_F(DialogsTest, FillTreeReversesTheProjectsAndDropsThoseWithoutVersions) {
  const ListedFileSystem fs(Projects{{"Alpha", {"1.0.map", "0.9.MAP", "notes.map.txt"}},
                             {"Beta", {}},
                             {"Gamma", {"2.0.map"}},
                             {"readme.txt", {}},
                             {"Delta", {"b.map", "a.map"}}});
  const TMapDB db(kRoot, fs);
  const Names expected{"Delta", "  b.map", "  a.map", "Gamma", "  2.0.map", "Alpha", "  1.0.map", "  0.9.map"};
  // Rebuilt from scratch each time.
  for (int fill = 0; fill < 2; ++fill) {
    db_->FillTree(db);
    EXPECT_EQ(TreeLines(), expected) << "fill " << fill;
    for (TTreeNode node = db_->tv.FirstNode(); node; node = db_->tv.NextSibling(node))
      EXPECT_FALSE(db_->tv.Expanded(node)) << db_->tv.NodeText(node);
    EXPECT_EQ(db_->tv.Selected(), nullptr);
  }
  EXPECT_EQ(db_->tv.Indent(), Application().Scale(19));

  const ListedFileSystem empty(Projects{{"Beta", {}}});
  const TMapDB emptyDb(kRoot, empty);
  db_->FillTree(emptyDb);
  EXPECT_EQ(TreeLines(), Names{});
}

TEST_F(DialogsTest, FillTreeLetsAListingErrorThroughAndDrawsAgainAfterwards) {
  const ListedFileSystem broken(Projects{{"Alpha", {"1.0.map"}}, {"Broken", {}}, {"Gamma", {"2.0.map"}}});
  const TMapDB brokenDb(kRoot, broken);
  EXPECT_THROW(db_->FillTree(brokenDb), std::runtime_error);

  // More projects than the tree can show: once drawing is on again, the
  // tree gives itself a scroll bar.
  Projects many;
  for (int i = 0; i < 30; ++i) many.push_back({"Project" + std::to_string(i), {"1.0.map"}});
  const ListedFileSystem fs(many);
  const TMapDB db(kRoot, fs);
  db_->Show();
  db_->FillTree(db);
  test::Pump(100);
  EXPECT_EQ(TreeLines().size(), 60u);
  EXPECT_TRUE(GetWindowLongA(db_->tv.Handle(), GWL_STYLE) & WS_VSCROLL) << "the tree does not draw";
  db_->Hide();
}

// Each dialog's Execute: true only for its OK road.
TEST_F(DialogsTest, ExecuteIsTrueOnlyForTheOkRoad) {
  const ListedFileSystem fs(Projects{{"Demo", {"2.1.map"}}});
  const TMapDB db(kRoot, fs);
  auto sysClose = [](TForm& form) { SendMessageA(form.Handle(), WM_SYSCOMMAND, SC_CLOSE, 0); };
  auto escape = [](TControl& control) {
    PostMessageA(control.Handle(), WM_KEYDOWN, VK_ESCAPE, 1);
    PostMessageA(control.Handle(), WM_KEYUP, VK_ESCAPE, 0xC0000001);
  };
  TDBDlg& dbDlg = *db_;
  TAddDlg& addDlg = *add_;
  TAboutDlg& aboutDlg = *about_;
  const auto runDb = [&] { return dbDlg.Execute(); };
  const auto runAdd = [&] { return addDlg.Execute(); };
  const auto runAbout = [&] { return aboutDlg.Execute(); };
  struct Case {
    const char* what;
    std::function<bool()> execute;
    std::function<void()> action;
    bool result;
  };
  const Case cases[] = {
      {"about: Ok", runAbout, [&] { aboutDlg.ok_btn.Click(); }, true},
      {"about: close box", runAbout, [&] { sysClose(aboutDlg); }, false},
      {"browser: Close", runDb, [&] { dbDlg.Close_btn.Click(); }, false},
      {"browser: Esc", runDb, [&] { escape(dbDlg.tv); }, false},
      {"browser: close box", runDb, [&] { sysClose(dbDlg); }, false},
      {"browser: load of a version", runDb,
       [&] {
         dbDlg.tv.Select(dbDlg.tv.FirstChild(dbDlg.tv.FirstNode()));
         dbDlg.load_btn.Click();
       },
       true},
      {"add: Ok with both names", runAdd,
       [&] {
         addDlg.project_cmb.SetText("Demo");
         addDlg.version_txt.SetText("2.2");
         addDlg.ok_btn.Click();
       },
       true},
      {"add: Cancel", runAdd,
       [&] {
         addDlg.project_cmb.SetText("Demo");
         addDlg.version_txt.SetText("2.2");
         addDlg.cancel_btn.Click();
       },
       false},
      {"add: close box", runAdd, [&] { sysClose(addDlg); }, false},
  };
  for (const Case& c : cases) {
    dbDlg.FillTree(db);
    EXPECT_EQ(ExecuteWith(c.execute, c.action), c.result) << c.what;
    EXPECT_FALSE(dbDlg.Visible() || addDlg.Visible() || aboutDlg.Visible()) << c.what;
  }
}

TEST_F(DialogsTest, AboutTextsComeFromTheTextStorageAndTheTitle) {
  const std::string version = "Version : 1.0.0.0";
  about_->UpdateInfo();
  const Names stored{about_->Caption(), about_->appname_lbl.Text(), about_->version_lbl.Text()};
  EXPECT_EQ(stored, (Names{"About Quillfen dialogs test", "Application Name : Quillfen dialogs test", version}));
  about_->UpdateInfo();
  EXPECT_EQ((Names{about_->Caption(), about_->appname_lbl.Text(), about_->version_lbl.Text()}), stored);

  // Texts replaced at run time are used by their default wording.
  about_->TS_about.SetItems({"Infos", "Programme :", "unused"});
  about_->UpdateInfo();
  EXPECT_EQ((Names{about_->Caption(), about_->appname_lbl.Text(), about_->version_lbl.Text()}),
            (Names{"Infos Quillfen dialogs test", "Programme : Quillfen dialogs test", version}));
}

TEST_F(DialogsTest, AboutBoxHasAnIconOfItsOwn) {
  const auto icon = [](const TForm& form) { return GetClassLongPtrA(form.Handle(), GCLP_HICON); };
  EXPECT_NE(icon(*about_), 0u);
  EXPECT_NE(icon(*main_), 0u);
  EXPECT_NE(icon(*about_), icon(*main_));
}

}  // namespace
}  // namespace qf
