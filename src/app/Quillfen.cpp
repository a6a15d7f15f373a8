// Quillfen.exe: the application object, the forms in their order, the loop.
#include <windows.h>

#include <memory>

#include "Application.h"
#include "U_MainDlg.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  using namespace qf;
  TApplication& app = Application();
  app.Initialize();
  app.SetTitle("Quillfen");

  std::unique_ptr<TMainDlg> mainDlg;
  try {
    // The first form created is the application's main form.
    mainDlg = std::make_unique<TMainDlg>();
    MainDlg = mainDlg.get();
  } catch (const std::exception& error) {
    app.ShowException(error);
    return 1;
  }

  app.Run(*mainDlg);

  MainDlg = nullptr;
  mainDlg.reset();
  return 0;
}
