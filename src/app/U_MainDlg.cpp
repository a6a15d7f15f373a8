#include "U_MainDlg.h"

#include <windows.h>
#include <shellapi.h>

#include "Application.h"
#include "ExePath.h"
#include "HelpPage.h"
#include "map/LookupTexts.h"
#include "MessageBoxes.h"
#include "base/PathRules.h"
#include "base/TextRules.h"
#include "U_DbDlg.h"
#include "U_DragDrop.h"
#include "db/U_MAPDb.h"
#include "map/U_MAPFile.h"
#include "U_Utils.h"
#include "U_about.h"

namespace qf {

TMainDlg* MainDlg = nullptr;

std::string HelpPageAddress() { return ExtractFilePath(ExecutablePath()) + kHelpPage; }

TMainDlg::TMainDlg() : TForm({QF_CLASS_MAINDLG, "Quillfen", 341, 228, TPosition::ScreenCenter}) {
  SetDefaultButton(&search_btn);
  AppEvt.OnActivate = Handler(this, &TMainDlg::AppEvtActivate);
  OnDestroy = Handler(this, &TMainDlg::FormDestroy);
  load_btn.OnClick = Handler(this, &TMainDlg::load_btnClick);
  db_btn.OnClick = Handler(this, &TMainDlg::db_btnClick);
  search_btn.OnClick = Handler(this, &TMainDlg::search_btnClick);
  help_btn.OnClick = Handler(this, &TMainDlg::Help1Click);
  Quit1.OnClick = Handler(this, &TMainDlg::Quit1Click);
  Help1.OnClick = Handler(this, &TMainDlg::Help1Click);
  About1.OnClick = Handler(this, &TMainDlg::About1Click);
}

TMainDlg::~TMainDlg() {
  // FormDestroy needs the members: the window goes before they do.
  DestroyHandle();
}

void TMainDlg::AppEvtActivate(TComponent*) {
  // Once per run: the next activations find no handler.
  AppEvt.OnActivate = nullptr;

  const std::string exePath = ExecutablePath();
  RecordInstallPath(Application().Title(), exePath);
  SetCaption(Application().Title() + " v" + WideToAnsi(GetFileVersionString(ExecutablePathW())));

  FMapFile = std::make_unique<TMapFile>();
  FMapDB = std::make_unique<TMapDB>(IncludeTrailingPathDelimiter(ExtractFilePath(exePath)) + "db");
  FDroppedFiles = std::make_unique<std::vector<std::string>>();

  // The drop arrives from the drag source's call; an error of the load is
  // shown once that call has returned, so the source is released at once.
  RegisterFileDrop(
      Handle(), FDroppedFiles.get(), [this](TMyDropTarget* sender) { FilesDropped(sender); },
      [](const std::exception& error) { Application().ShowExceptionLater(error); });
}

void TMainDlg::FormDestroy(TComponent*) {
  RevokeFileDrop(Handle());
  FDroppedFiles.reset();
  FMapFile.reset();
  FMapDB.reset();
}

void TMainDlg::LoadMapFile(const std::string& fileName, const std::string& prefix) {
  addr_txt.SetText("");
  if (!FMapFile) return;
  FMapFile->Load(fileName);
  stats_lbl.SetCaption(LoadStatusText(*FMapFile, prefix));
}

void TMainDlg::load_btnClick(TComponent*) {
  if (JOD.Execute()) LoadMapFile(JOD.FileName(), "");
}

void TMainDlg::FilesDropped(TMyDropTarget*) {
  // The list is emptied on every way out, also when the load fails, so that a
  // later drop never finds this one's names.
  struct Emptier {
    std::vector<std::string>& list;
    ~Emptier() { list.clear(); }
  } emptier{*FDroppedFiles};

  if (FDroppedFiles->empty()) return;
  const std::string first = FDroppedFiles->front();
  if (SameText(ExtractFileExt(first), ".map")) LoadMapFile(first, "");
}

void TMainDlg::search_btnClick(TComponent*) {
  if (!FMapFile) {
    ShowMessage(std::string(kLoadFirstText));
    return;
  }
  const SearchAnswer answer = AnswerSearch(*FMapFile, addr_txt.Text());
  if (answer.kind != SearchAnswer::Silent) ShowMessage(answer.text);
}

void TMainDlg::db_btnClick(TComponent*) {
  if (!FMapDB || !DBDlg) return;
  DBDlg->FillTree(*FMapDB);
  DBDlg->Execute();
}

void TMainDlg::Quit1Click(TComponent*) { Close(); }

void TMainDlg::About1Click(TComponent*) {
  if (AboutDlg) AboutDlg->Execute();
}

void TMainDlg::Help1Click(TComponent*) {
  const std::string page = HelpPageAddress();
  const auto opened = reinterpret_cast<INT_PTR>(
      ShellExecuteA(Handle(), nullptr, page.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  // Wine knows no program for local .html pages; its bridge to the desktop's
  // browser takes them. Elsewhere this finds nothing and nothing happens.
  if (opened == SE_ERR_NOASSOC) {
    const std::string quoted = "\"" + page + "\"";
    ShellExecuteA(Handle(), nullptr, "winebrowser.exe", quoted.c_str(), nullptr, SW_SHOWNORMAL);
  }
}

}  // namespace qf
