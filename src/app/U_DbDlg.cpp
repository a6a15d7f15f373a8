#include "U_DbDlg.h"

#include <string>
#include <vector>

#include "MessageBoxes.h"
#include "U_AddDlg.h"
#include "db/U_MAPDb.h"
#include "map/U_MAPFile.h"
#include "U_MainDlg.h"

namespace qf {

TDBDlg* DBDlg = nullptr;

namespace {

// Holds back the tree's repainting for its lifetime, also when an error
// passes through.
class TreeUpdate {
 public:
  explicit TreeUpdate(TTreeView& tree) : tree_(tree) { tree_.BeginUpdate(); }
  ~TreeUpdate() { tree_.EndUpdate(); }
  TreeUpdate(const TreeUpdate&) = delete;
  TreeUpdate& operator=(const TreeUpdate&) = delete;

 private:
  TTreeView& tree_;
};

// Version entries end in ".map"; the prefix shows the name without it.
std::string VersionName(const std::string& entry) {
  return entry.size() >= 4 ? entry.substr(0, entry.size() - 4) : std::string();
}

// A test load into a table of its own, freed on every way out; an error of
// the reading (a file that cannot be opened) passes to the caller.
bool HoldsLineNumbers(const std::string& fileName) {
  TMapFile check;
  check.Load(fileName);
  return check.Loaded();
}

}  // namespace

TDBDlg::TDBDlg(TForm* owner)
    : TForm({QF_CLASS_DBDLG, "MAP Database", 289, 218, TPosition::OwnerFormCenter, owner}) {
  SetDefaultButton(&load_btn);
  SetCancelButton(&Close_btn);
  tv.OnDblClick = Handler(this, &TDBDlg::tvDblClick);
  load_btn.OnClick = Handler(this, &TDBDlg::tvDblClick);
  add_btn.OnClick = Handler(this, &TDBDlg::add_btnClick);
}

void TDBDlg::FillTree(const TMapDB& MapDB) {
  FMapDB = &MapDB;
  tv.Clear();
  TreeUpdate update(tv);

  std::vector<std::string> projects;
  std::vector<std::string> versions;
  MapDB.GetProjects(projects);
  for (const std::string& project : projects) {
    const TTreeNode node = tv.AddFirst(nullptr, project);
    MapDB.GetVersions(project, versions);
    for (const std::string& version : versions) tv.AddChild(node, version);
  }

  // Projects without versions, and plain files listed as projects, go.
  for (TTreeNode node = tv.FirstNode(); node;) {
    const TTreeNode next = tv.NextSibling(node);
    if (!tv.HasChildren(node)) tv.Delete(node);
    node = next;
  }
}

bool TDBDlg::Execute() { return ShowModal() == mrOk; }

void TDBDlg::tvDblClick(TComponent*) {
  const TTreeNode node = tv.Selected();
  if (!node || tv.Level(node) != 1 || !FMapDB || !MainDlg) return;
  const std::string project = tv.NodeText(tv.Parent(node));
  const std::string version = tv.NodeText(node);
  // An error of the load (the file cannot be read) leaves here: the browser
  // stays open. Any completed load closes it, whatever it found.
  MainDlg->LoadMapFile(FMapDB->GetVersionPath(project, version), project + " v" + VersionName(version));
  SetModalResult(mrOk);
}

void TDBDlg::add_btnClick(TComponent*) {
  if (!FMapDB || !MainDlg || !AddDlg) return;
  TOpenDialog& dialog = MainDlg->JOD;
  if (!dialog.Execute()) return;
  const std::string sourceFile = dialog.FileName();
  if (!HoldsLineNumbers(sourceFile)) {
    ShowMessage("Invalid MAP file");
    return;
  }

  std::vector<std::string> projects;
  FMapDB->GetProjects(projects);
  AddDlg->project_cmb.Clear();
  for (const std::string& project : projects) AddDlg->project_cmb.Add(project);
  if (!AddDlg->Execute()) return;

  // The store refuses names that would leave the database folder; the
  // refusal is told by the message of the step that failed.
  const std::string project = AddDlg->project_cmb.Text();
  if (!FMapDB->CreateProject(project)) {
    ShowMessage("Unable to create folder : " + project);
    return;
  }
  const std::string version = AddDlg->version_txt.Text();
  if (FMapDB->VersionExists(project, version)) {
    ShowMessage("This version already exists");
    return;
  }
  if (FMapDB->AddVersion(project, version, sourceFile)) {
    FillTree(*FMapDB);
  } else {
    ShowMessage("Unable to create file : " + FMapDB->GetVersionPath(project, version) + ".map");
  }
}

}  // namespace qf
