// Drives Quillfen.exe once as a person would, for scripts/run.sh when there is
// no display: loads a MAP file through the open dialog, types a crash address,
// presses Search and leaves the answer on the screen until the screenshot has
// been taken.
//
//   quillfen-demo.exe QUILLFEN_EXE MAP_FILE ADDRESS READY_FILE
//
// Prints the status line and the answer. When the answer box is up it writes
// "left top right bottom" of the window and its box into READY_FILE and waits
// (at most a minute) until that file has been removed, then closes the box and
// the program.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "ControlIds.h"
#include "GuiDriver.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: quillfen-demo QUILLFEN_EXE MAP_FILE ADDRESS READY_FILE\n");
    return 2;
  }
  const std::string readyFile = argv[4];
  try {
    qfgui::AppProcess app(argv[1]);
    HWND main = app.WaitForWindow(QF_CLASS_MAINDLG);
    qfgui::WaitOrThrow([&] { return qfgui::TextOf(main).find(" v") != std::string::npos; },
                       "the version in the caption");
    std::printf("caption: %s\n", qfgui::TextOf(main).c_str());

    qfgui::Click(qfgui::Child(main, IDC_MAIN_LOAD_BTN));
    qfgui::ChooseFile(app.WaitForFileDialog(), argv[2]);
    HWND stats = qfgui::Child(main, IDC_MAIN_STATS_LBL);
    qfgui::WaitOrThrow([&] { return !qfgui::TextOf(stats).empty(); }, "the status line");
    std::printf("status: %s\n", qfgui::TextOf(stats).c_str());

    qfgui::SetText(qfgui::Child(main, IDC_MAIN_ADDR_TXT), argv[3]);
    qfgui::Click(qfgui::Child(main, IDC_MAIN_SEARCH_BTN));
    const qfgui::MessageBoxView box = app.WaitForMessageBox();
    std::printf("search %s: %s\n", argv[3], box.text.c_str());
    std::fflush(stdout);

    const RECT shown = qfgui::UnionOfWindows(main, box.window);
    std::ofstream(readyFile) << shown.left << ' ' << shown.top << ' ' << shown.right << ' '
                             << shown.bottom << '\n';
    qfgui::WaitUntil([&] { return !qfgui::FileExists(readyFile); }, 60000);

    qfgui::PressOk(box);
    app.Close();
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "quillfen-demo: %s\n", error.what());
    DeleteFileA(readyFile.c_str());
    return 1;
  }
}
