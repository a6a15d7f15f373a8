#include "U_about.h"

#include <windows.h>
#include <shellapi.h>

#include <string>

#include "Application.h"
#include "ExePath.h"
#include "MakerLinks.h"
#include "U_Utils.h"

namespace qf {

TAboutDlg* AboutDlg = nullptr;

TAboutDlg::TAboutDlg(TForm* owner)
    : TForm({QF_CLASS_ABOUTDLG, "About ", 389, 284, TPosition::OwnerFormCenter, owner, IDI_ABOUT}) {
  Image1.LoadFromResource(IDR_ABOUT_BANNER);
  TS_about.LoadFromForm({"About", "Application Name :", "Version :"});
  email_btn.OnClick = Handler(this, &TAboutDlg::email_btnClick);
  web_btn.OnClick = Handler(this, &TAboutDlg::web_btnClick);
  forum_btn.OnClick = Handler(this, &TAboutDlg::forum_btnClick);
}

bool TAboutDlg::Execute() {
  UpdateInfo();
  return ShowModal() == mrOk;
}

void TAboutDlg::UpdateInfo() {
  const std::string& title = Application().Title();
  SetCaption(TS_about.GetText("About") + " " + title);
  appname_lbl.SetCaption(TS_about.GetText("Application Name :") + " " + title);
  version_lbl.SetCaption(TS_about.GetText("Version :") + " " +
                         WideToAnsi(GetFileVersionString(ExecutablePathW())));
}

void TAboutDlg::OpenLink(const std::string& target) {
  ShellExecuteA(Handle(), nullptr, target.c_str(), "", "", SW_SHOWNORMAL);
}

void TAboutDlg::email_btnClick(TComponent*) { OpenLink(MakerMailLink()); }

void TAboutDlg::web_btnClick(TComponent*) { OpenLink(MakerWebSite()); }

void TAboutDlg::forum_btnClick(TComponent*) { OpenLink(MakerForumPage()); }

}  // namespace qf
