// Quillfen.exe: the application object, the forms in their order, the loop.
#include <windows.h>

#include <memory>

#include "AnsiCodePage.h"
#include "Application.h"
#include "U_AddDlg.h"
#include "U_DbDlg.h"
#include "U_MainDlg.h"
#include "U_about.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  using namespace qf;
  UseSystemCodePage();
  TApplication& app = Application();
  app.Initialize();
  app.SetTitle("Quillfen");

  std::unique_ptr<TMainDlg> mainDlg;
  std::unique_ptr<TDBDlg> dbDlg;
  std::unique_ptr<TAddDlg> addDlg;
  std::unique_ptr<TAboutDlg> aboutDlg;
  try {
    // The first form created is the application's main form.
    mainDlg = std::make_unique<TMainDlg>();
    MainDlg = mainDlg.get();
    dbDlg = std::make_unique<TDBDlg>(mainDlg.get());
    DBDlg = dbDlg.get();
    addDlg = std::make_unique<TAddDlg>(dbDlg.get());
    AddDlg = addDlg.get();
    aboutDlg = std::make_unique<TAboutDlg>(mainDlg.get());
    AboutDlg = aboutDlg.get();
  } catch (const std::exception& error) {
    app.ShowException(error);
    return 1;
  }

  app.Run(*mainDlg);

  AboutDlg = nullptr;
  aboutDlg.reset();
  AddDlg = nullptr;
  addDlg.reset();
  DBDlg = nullptr;
  dbDlg.reset();
  MainDlg = nullptr;
  mainDlg.reset();
  return 0;
}
