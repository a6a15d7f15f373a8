// The add-version dialog: the project (picked from the list or typed) and the
// version name under which the database browser stores a MAP file.
#pragma once

#include "ControlIds.h"
#include "Form.h"
#include "StdControls.h"

namespace qf {

class TAddDlg : public TForm {
 public:
  // owner: the form the dialog is centred over (the database browser).
  explicit TAddDlg(TForm* owner);

  // Components, in creation order (which is also the tab order).
  TGroupBox project_grp{*this, {IDC_ADD_PROJECT_GRP, {1, 1, 189, 49}, "Project"}};
  TComboBox project_cmb{project_grp, {IDC_ADD_PROJECT_CMB, {8, 16, 169, 21}, ""}};
  TGroupBox version_grp{*this, {IDC_ADD_VERSION_GRP, {1, 57, 189, 49}, "Version"}};
  TEdit version_txt{version_grp, {IDC_ADD_VERSION_TXT, {8, 16, 163, 21}, ""}};
  TButton ok_btn{*this, {IDC_ADD_OK_BTN, {8, 112, 75, 25}, "Ok"}};
  TButton cancel_btn{*this, {IDC_ADD_CANCEL_BTN, {104, 112, 75, 25}, "Cancel", 0, mrCancel}};

  // Empties both fields (the project shows the first listed item, if any)
  // and shows the dialog modally. The caller fills project_cmb's list first.
  // True when the dialog closed with Ok.
  bool Execute();

  // Closes with the OK result once both names are given.
  void ok_btnClick(TComponent* sender);

 protected:
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  // Set by Execute: the next activation puts the focus in the project field.
  bool focusProject_ = false;
};

// The add-version dialog (the program's third form).
extern TAddDlg* AddDlg;

}  // namespace qf
