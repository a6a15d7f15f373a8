// The about box: the banner, the program's name and version, and three
// buttons that hand the maker's mail and web links to the shell.
#pragma once

#include "AboutResources.h"
#include "C_TextStorage.h"
#include "ControlIds.h"
#include "Form.h"
#include "Image.h"
#include "StdControls.h"

namespace qf {

class TAboutDlg : public TForm {
 public:
  // owner: the form the box is centred over (the main window).
  explicit TAboutDlg(TForm* owner);

  // Components, in creation order (which is also the tab order).
  TImage Image1{*this, {IDC_ABOUT_IMAGE1, {0, 0, 388, 96}, ""}};
  TGroupBox all_grp{*this, {IDC_ABOUT_ALL_GRP, {1, 97, 384, 184}, ""}};
  TGroupBox Application_grp{all_grp, {IDC_ABOUT_APPLICATION_GRP, {5, 12, 249, 53}, "Application"}};
  TLabel appname_lbl{Application_grp, {IDC_ABOUT_APPNAME_LBL, {8, 16, 0, 0}, "Application name :", false}};
  TLabel version_lbl{Application_grp, {IDC_ABOUT_VERSION_LBL, {8, 32, 0, 0}, "Version :", false}};
  TGroupBox velmora_grp{all_grp, {IDC_ABOUT_VELMORA_GRP, {260, 12, 113, 117}, "Velmora"}};
  TButton email_btn{velmora_grp, {IDC_ABOUT_EMAIL_BTN, {8, 16, 97, 28}, "Email"}};
  TButton web_btn{velmora_grp, {IDC_ABOUT_WEB_BTN, {8, 48, 97, 28}, "Web Site"}};
  TButton forum_btn{velmora_grp, {IDC_ABOUT_FORUM_BTN, {8, 80, 97, 28}, "Forums"}};
  TButton ok_btn{all_grp, {IDC_ABOUT_OK_BTN, {274, 139, 81, 33}, "Ok", 0, mrOk}};
  // The texts the box puts together at run time, by their default wording.
  TTextStorage TS_about;

  // Sets the run-time texts, then shows the box modally; true when Ok
  // closed it, false for the close box.
  bool Execute();
  // The caption and the two labels, rebuilt from the stored texts.
  void UpdateInfo();

  void email_btnClick(TComponent* sender);
  void web_btnClick(TComponent* sender);
  void forum_btnClick(TComponent* sender);

 private:
  // Hands the target to the shell's default action; the outcome is not
  // examined.
  void OpenLink(const std::string& target);
};

// The about box (the program's fourth form).
extern TAboutDlg* AboutDlg;

}  // namespace qf
