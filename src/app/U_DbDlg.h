// The database browser: the stored MAP files as a tree of projects and
// versions; loads the chosen version into the main window and adds MAP files
// to the database through the add-version dialog.
#pragma once

#include "ControlIds.h"
#include "Form.h"
#include "StdControls.h"
#include "TreeView.h"

namespace qf {

class TMapDB;

class TDBDlg : public TForm {
 public:
  // owner: the form the browser is centred over (the main window).
  explicit TDBDlg(TForm* owner);

  // Components, in creation order (which is also the tab order).
  TTreeView tv{*this, {IDC_DB_TV, {8, 8, 273, 153}, 19}};
  TGroupBox db_grp{*this, {IDC_DB_GRP, {0, 168, 289, 49}, "MAP Database"}};
  TButton load_btn{db_grp, {IDC_DB_LOAD_BTN, {8, 16, 75, 25}, "Load"}};
  TButton add_btn{db_grp, {IDC_DB_ADD_BTN, {88, 16, 75, 25}, "Add"}};
  TButton Close_btn{db_grp, {IDC_DB_CLOSE_BTN, {208, 16, 75, 25}, "Close", 0, mrCancel}};

  // Remembers the database and rebuilds the tree from it: one node per
  // project that holds a version (the projects in the reverse of the listed
  // order), its versions below it in the listed order, all collapsed.
  void FillTree(const TMapDB& MapDB);
  // Shows the browser modally; true when a load closed it.
  bool Execute();

  // Loads the selected version into the main window (double click, Load).
  void tvDblClick(TComponent* sender);
  // Adds a MAP file chosen in the main window's open dialog.
  void add_btnClick(TComponent* sender);

 private:
  // The database in use; owned by the main window.
  const TMapDB* FMapDB = nullptr;
};

// The database browser (the program's second form).
extern TDBDlg* DBDlg;

}  // namespace qf
