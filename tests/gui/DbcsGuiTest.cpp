// Quillfen.exe under the double-byte code page 932 (Wine started with
// LC_ALL=ja_JP.UTF-8): a MAP file in a folder whose name holds 表 (95 5C) and
// ソ (83 5C), whose second bytes equal "\". The program fails at once under
// any other code page.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>

#include "AppSession.h"
#include "ControlIds.h"
#include "GuiDriver.h"

namespace {

using namespace qfgui;

class DbcsWindowTest : public AppSession {
 protected:
  std::optional<MessageBoxView> LoadThroughDialog(const std::string& path) {
    Click(Child(main_, IDC_MAIN_LOAD_BTN));
    ChooseFile(proc_->WaitForFileDialog(), path);
    return BoxAfterAction();
  }
};

TEST_F(DbcsWindowTest, MapInADoubleByteFolderLoadsAndErrorsNameTheWholePath) {
  const std::string folder = app_->File("\x95\x5C\x83\x5C");  // 表ソ
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  const std::string map = JoinPath(folder, "\x83\x5C.map");  // ソ.map
  WriteFile(map, kEngineMap);
  const auto box = LoadThroughDialog(map);
  EXPECT_FALSE(box) << box->text;
  EXPECT_EQ(Status(), "Loaded successfully (5 items)");
  SaveScreenshot(main_, JoinPath(ShotsFolder(), "main-window-cp932.bmp"));

  HANDLE hold = CreateFileA(map.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(hold, INVALID_HANDLE_VALUE);
  Click(Child(main_, IDC_MAIN_LOAD_BTN));
  ChooseFile(proc_->WaitForFileDialog(), map);
  const MessageBoxView error = proc_->WaitForMessageBox();
  SaveScreenshot(error.window, JoinPath(ShotsFolder(), "open-error-cp932.bmp"));
  PressOk(error);
  CloseHandle(hold);
  const std::string prefix = "Impossible d'ouvrir le fichier \"" + map + "\". ";
  EXPECT_EQ(error.text.substr(0, prefix.size()), prefix) << error.text;
  EXPECT_EQ(Status(), "Loaded successfully (5 items)");
}

}  // namespace

int main(int argc, char** argv) {
  const UINT codePage = GetACP();
  if (codePage != 932) {
    std::fprintf(stderr, "gui_dbcs_tests: the ANSI code page is %u, not 932 (start Wine with LC_ALL=ja_JP.UTF-8)\n",
                 codePage);
    return 2;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
