// The GUI driver checked against gui_standin.exe, a window program whose
// behaviour is known exactly (see StandIn.cpp).
#include <gtest/gtest.h>

#include "GuiDriver.h"

namespace {

using namespace qfgui;

constexpr int kEdit = 10, kStatus = 11, kShow = 12, kFail = 13, kOpen = 14, kCombo = 15, kTree = 16, kQuit = 20;

class DriverSelfTest : public ::testing::Test {
 protected:
  AppCopy app_{"gui_standin.exe"};
  AppProcess proc_{app_.ExePath()};
  HWND main_ = proc_.WaitForWindow("QfStandIn");
};

TEST_F(DriverSelfTest, ClickAndEnterShowThePlainBoxWithTheTypedText) {
  SetText(Child(main_, kEdit), "typed text");
  Click(Child(main_, kShow));
  Sync(main_);
  EXPECT_EQ(proc_.MessageBoxes().size(), 1u) << "the box exists once Sync returns";
  MessageBoxView box = proc_.WaitForMessageBox();
  EXPECT_EQ(box.caption, "Stand-in");
  EXPECT_EQ(box.text, "typed text");
  EXPECT_EQ(box.buttons, std::vector<std::string>{"OK"});
  EXPECT_FALSE(box.hasIcon);
  PressOk(box);
  proc_.ExpectNoMessageBox(100);

  HWND edit = Child(main_, kEdit);
  SetText(edit, "by Enter");
  Focus(edit);
  PressEnter(edit);
  box = proc_.WaitForMessageBox();
  EXPECT_EQ(box.text, "by Enter");
  PressOk(box);
}

TEST_F(DriverSelfTest, StopIconIsSeen) {
  Click(Child(main_, kFail));
  const MessageBoxView box = proc_.WaitForMessageBox();
  EXPECT_EQ(box.text, "Something failed.");
  EXPECT_TRUE(box.hasIcon);
  EXPECT_TRUE(box.stopIcon);
  PressOk(box);
}

TEST_F(DriverSelfTest, UnexpectedBoxAndMissingWindowFailInsteadOfHanging) {
  Click(Child(main_, kShow));
  EXPECT_THROW(proc_.ExpectNoMessageBox(), GuiError);
  PressOk(proc_.WaitForMessageBox());
  const DWORD start = GetTickCount();
  EXPECT_THROW(proc_.WaitForWindow("NoSuchClass", "", 300), GuiError);
  EXPECT_LT(GetTickCount() - start, 3000u);
}

TEST_F(DriverSelfTest, FileDialogChoosesAFileOrIsCancelled) {
  const std::string map = app_.File("chosen.map");
  WriteFile(map, "x");
  Click(Child(main_, kOpen));
  FileDialog dialog = proc_.WaitForFileDialog();
  ChooseFile(dialog, map);
  HWND status = Child(main_, kStatus);
  WaitUntil([&] { return TextOf(status) != ""; });
  EXPECT_EQ(TextOf(status), "chose " + map);

  Click(Child(main_, kOpen));
  dialog = proc_.WaitForFileDialog();
  Cancel(dialog);
  WaitUntil([&] { return TextOf(status) == "cancelled"; });
  EXPECT_EQ(TextOf(status), "cancelled");
}

TEST_F(DriverSelfTest, SwitchingAwayAndBackActivatesTheProgramAgain) {
  Activate(main_);
  WaitOrThrow([&] { return TextOf(main_) != "Stand-in"; }, "the first activation");
  const std::string first = TextOf(main_);
  OtherWindow other;
  other.Activate();
  Activate(main_);
  WaitOrThrow([&] { return TextOf(main_) != first; }, "the second activation");
  EXPECT_NE(TextOf(main_), first);
}

TEST_F(DriverSelfTest, ScreenshotHoldsTheWindow) {
  const std::string bmp = app_.File("standin.bmp");  // not one of the README's pictures
  SaveScreenshot(main_, bmp);
  RECT r{};
  GetWindowRect(main_, &r);
  HANDLE h = CreateFileA(bmp.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  BITMAPFILEHEADER file{};
  BITMAPINFOHEADER info{};
  DWORD got = 0;
  ReadFile(h, &file, sizeof file, &got, nullptr);
  ReadFile(h, &info, sizeof info, &got, nullptr);
  const DWORD size = GetFileSize(h, nullptr);
  CloseHandle(h);
  EXPECT_EQ(file.bfType, 0x4D42);
  EXPECT_EQ(info.biWidth, r.right - r.left);
  EXPECT_EQ(info.biHeight, r.bottom - r.top);
  EXPECT_EQ(size, file.bfSize);
  // The face of the window is the button colour, not black.
  RECT client{};
  GetClientRect(main_, &client);
  MapWindowPoints(main_, nullptr, reinterpret_cast<POINT*>(&client), 2);
  const Rgb colour = AverageScreenColour(client);
  EXPECT_GT(colour.r + colour.g + colour.b, 300);
}

TEST_F(DriverSelfTest, TreeAndComboAreReadAcrossProcesses) {
  EXPECT_EQ(ComboItems(Child(main_, kCombo)), (std::vector<std::string>{"Alpha", "Beta"}));
  HWND tree = Child(main_, kTree);
  const std::vector<TreeNode> roots = ReadTree(tree);
  ASSERT_EQ(roots.size(), 2u);
  EXPECT_EQ(roots[0].text, "Demo");
  ASSERT_EQ(roots[0].children.size(), 1u);
  EXPECT_EQ(roots[0].children[0].text, "2.1");
  EXPECT_FALSE(roots[0].expanded);
  EXPECT_EQ(roots[1].text, "Empty");
  EXPECT_THROW(FindTreeNode(tree, {"Demo", "9.9"}), GuiError);

  DoubleClickTreeItem(tree, FindTreeNode(tree, {"Empty"}).item);
  MessageBoxView box = proc_.WaitForMessageBox();
  EXPECT_EQ(box.text, "Empty");
  PressOk(box);
  EXPECT_TRUE(FindTreeNode(tree, {"Empty"}).selected);
}

TEST_F(DriverSelfTest, CloseBoxEndsTheProgram) {
  PressCloseBox(main_);
  EXPECT_TRUE(proc_.WaitForExit(kDefaultTimeoutMs));
}

TEST_F(DriverSelfTest, MenuCommandEndsTheProgram) {
  Command(main_, kQuit);
  EXPECT_TRUE(proc_.WaitForExit(kDefaultTimeoutMs));
  EXPECT_EQ(proc_.ExitCode(), 0u);
}

}  // namespace
