#include "U_AddDlg.h"

#include "MessageBoxes.h"

namespace qf {

TAddDlg* AddDlg = nullptr;

TAddDlg::TAddDlg(TForm* owner)
    : TForm({QF_CLASS_ADDDLG, "Add", 194, 149, TPosition::OwnerFormCenter, owner}) {
  SetDefaultButton(&ok_btn);
  SetCancelButton(&cancel_btn);
  ok_btn.OnClick = Handler(this, &TAddDlg::ok_btnClick);
}

bool TAddDlg::Execute() {
  project_cmb.SetText("");
  if (project_cmb.Count() > 0) project_cmb.SetItemIndex(0);
  version_txt.SetText("");
  focusProject_ = true;
  return ShowModal() == mrOk;
}

LRESULT TAddDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  const LRESULT result = TForm::HandleMessage(message, wParam, lParam);
  // The dialog manager gives the focus back to the control that had it when
  // the dialog last closed (Ok or Cancel); each run starts typing in the
  // project field instead.
  if (message == WM_ACTIVATE && LOWORD(wParam) != WA_INACTIVE && focusProject_) {
    focusProject_ = false;
    project_cmb.SetFocus();
  }
  return result;
}

void TAddDlg::ok_btnClick(TComponent*) {
  // Emptiness is the only test: names are checked by the store when used.
  if (project_cmb.Text().empty()) {
    ShowMessage("Invalid project name");
  } else if (version_txt.Text().empty()) {
    ShowMessage("Invalid version name");
  } else {
    SetModalResult(mrOk);
  }
}

}  // namespace qf
