// A fixture base for the tests of Quillfen's dialogs: a private copy of the
// program (its "db" folder starts empty), started and past its first
// activation, with the MAP files the tests load written beside it.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "ControlIds.h"
#include "GuiDriver.h"

namespace qfgui {

// Two sections, five entries.
inline const char* const kEngineMap =
    "\r\n"
    " Start         Length     Name                   Class\r\n"
    " 0001:00000000 00058000H .text                   CODE\r\n"
    "\r\n"
    "Line numbers for Engine(Engine.src) segment .text\r\n"
    "\r\n"
    "    12 0001:00000A10    13 0001:00000A1C    14 0001:00000B00\r\n"
    "\r\n"
    "Line numbers for Main(C:\\Src\\Main.src) segment .text\r\n"
    "\r\n"
    "    40 0001:00057900    41 0001:00057980\r\n"
    "\r\n";

// One entry.
inline const char* const kOtherMap =
    "Line numbers for Other(Other.src) segment .text\r\n"
    "\r\n"
    "     7 0001:00000100\r\n";

// No line-number section at all.
inline const char* const kNoLinesMap =
    "\r\n"
    " Start         Length     Name                   Class\r\n"
    " 0001:00000000 00058000H .text                   CODE\r\n"
    "\r\n"
    "  Address         Publics by Value\r\n"
    "\r\n"
    " 0001:00000A10       Engine.Start\r\n";

inline const char* const kCaptionAfterStart = "Quillfen v1.0.0.0";

class AppSession : public ::testing::Test {
 protected:
  void SetUp() override {
    app_.emplace("Quillfen.exe");
    WriteFile(app_->File("Engine.map"), kEngineMap);
    WriteFile(app_->File("Other.map"), kOtherMap);
    WriteFile(app_->File("NoLines.map"), kNoLinesMap);
    proc_.emplace(app_->ExePath());
    main_ = proc_->WaitForWindow(QF_CLASS_MAINDLG);
    // The database object exists once the first activation has run.
    WaitOrThrow([&] { return TextOf(main_) == kCaptionAfterStart; },
                "the caption \"" + std::string(kCaptionAfterStart) + "\" (it reads \"" + TextOf(main_) + "\")");
  }

  void TearDown() override {
    proc_.reset();
    app_.reset();
  }

  std::string Status() const { return TextOf(Child(main_, IDC_MAIN_STATS_LBL)); }

  // After an action: the box it opened (read, then closed with OK), or none.
  std::optional<MessageBoxView> BoxAfterAction() {
    // Sync returns once the handler has ended or shows a box; the second
    // Sync covers a handler that let messages through before its box.
    Sync(main_);
    if (proc_->MessageBoxes().empty() && !WaitUntil([&] { return !proc_->MessageBoxes().empty(); }, 300)) {
      Sync(main_);
      if (proc_->MessageBoxes().empty()) return std::nullopt;
    }
    MessageBoxView box = proc_->WaitForMessageBox();
    EXPECT_FALSE(IsWindowEnabled(main_)) << "the box \"" << box.text << "\" is not modal";
    PressOk(box);
    return box;
  }

  // The text of the box that followed the action ("" for none); a box must
  // be the program's plain message box.
  std::string MessageAfterAction() {
    const auto box = BoxAfterAction();
    if (!box) return "";
    ExpectPlainBox(*box);
    return box->text;
  }

  // The program's plain message box: its title, one OK button, no icon.
  static void ExpectPlainBox(const MessageBoxView& box) {
    EXPECT_EQ(box.caption, "Quillfen") << box.text;
    EXPECT_EQ(box.buttons, std::vector<std::string>{"OK"}) << box.text;
    EXPECT_FALSE(box.hasIcon) << box.text;
  }

  // The window's place in the screen, and its client area's size.
  static RECT WindowRect(HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    return r;
  }
  static SIZE ClientSize(HWND window) {
    RECT r{};
    GetClientRect(window, &r);
    return {r.right, r.bottom};
  }

  std::optional<AppCopy> app_;
  std::optional<AppProcess> proc_;
  HWND main_ = nullptr;
};

// Places in client coordinates of a form (nested places added up).
struct Placement {
  int id;
  const char* text;
  int left, top, width, height;
};

// Every control's text and place; a width or height of -1 is not checked.
inline void ExpectPlacements(HWND form, const std::vector<Placement>& placements) {
  for (const Placement& p : placements) {
    HWND control = Child(form, p.id);
    EXPECT_EQ(TextOf(control), p.text) << "ID " << p.id;
    EXPECT_TRUE(IsVisible(control)) << "ID " << p.id << " " << p.text;
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, form, reinterpret_cast<POINT*>(&r), 2);
    EXPECT_EQ(r.left, p.left) << "ID " << p.id << " " << p.text;
    EXPECT_EQ(r.top, p.top) << "ID " << p.id << " " << p.text;
    if (p.width >= 0) {
      EXPECT_EQ(r.right - r.left, p.width) << "ID " << p.id << " " << p.text;
    }
    if (p.height >= 0) {
      EXPECT_EQ(r.bottom - r.top, p.height) << "ID " << p.id << " " << p.text;
    }
  }
}

// A fixed single border, a system menu and a minimise box only.
inline void ExpectDialogFrame(HWND form) {
  const LONG style = GetWindowLongA(form, GWL_STYLE);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME) << "the border must be fixed";
}

// The window's centre lies on the other's (to within a pixel of rounding).
inline void ExpectCentredOver(HWND window, HWND over) {
  RECT w{}, o{};
  GetWindowRect(window, &w);
  GetWindowRect(over, &o);
  EXPECT_NEAR((w.left + w.right) / 2, (o.left + o.right) / 2, 1);
  EXPECT_NEAR((w.top + w.bottom) / 2, (o.top + o.bottom) / 2, 1);
}

// Tab from the first control through the rest and back to the first. A
// control may hold the focus in a child of its own (a combo's edit).
inline void ExpectTabOrder(HWND form, const std::vector<int>& order) {
  auto holds = [&](int id) {
    HWND focused = FocusedControl(form);
    for (HWND w = focused; w && w != form; w = GetParent(w))
      if (IdOf(w) == id) return true;
    return false;
  };
  // A combo box takes the focus in its edit.
  HWND first = Child(form, order.front());
  if (HWND edit = FindWindowExA(first, nullptr, "Edit", nullptr)) first = edit;
  Focus(first);
  ASSERT_TRUE(WaitUntil([&] { return holds(order.front()); }, 3000)) << "ID " << order.front() << " takes no focus";
  for (size_t i = 1; i <= order.size(); ++i) {
    const int expected = order[i % order.size()];
    PressKey(FocusedControl(form), VK_TAB);
    const bool moved = WaitUntil([&] { return holds(expected); }, 3000);
    HWND focused = FocusedControl(form);
    ASSERT_TRUE(moved) << "after ID " << order[i - 1] << " Tab went to ID " << (focused ? IdOf(focused) : 0)
                       << " \"" << (focused ? TextOf(focused) : "") << "\", expected ID " << expected;
  }
}

// The form's default button (DM_GETDEFID); 0 for none.
inline int DefaultButtonId(HWND form) {
  DWORD_PTR result = 0;
  SendMessageTimeoutA(form, DM_GETDEFID, 0, 0, SMTO_ABORTIFHUNG, 5000, &result);
  return HIWORD(result) == DC_HASDEFID ? LOWORD(result) : 0;
}

}  // namespace qfgui
