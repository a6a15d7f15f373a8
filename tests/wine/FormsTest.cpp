// The window framework against the real Win32 controls (under Wine): sizes and
// places, tab order, modal results with the default and cancel buttons, the
// tree view, combo box, picture box, menu, the boxes and the handler dispatch.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <new>
#include <string>

#include "AppEvents.h"
#include "Application.h"
#include "base/Errors.h"
#include "Form.h"
#include "FormsTestSupport.h"
#include "Image.h"
#include "Menus.h"
#include "MessageBoxes.h"
#include "OpenDialog.h"
#include "StdControls.h"
#include "TreeView.h"

namespace qf {
namespace {

using test::BoxWatcher;
using test::LoopActions;
using test::Pump;

constexpr int kButtonIcon = 10;

RECT ClientRectOf(HWND window) {
  RECT client;
  GetClientRect(window, &client);
  return client;
}

RECT RectInParent(HWND control) {
  RECT rect;
  GetWindowRect(control, &rect);
  MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

// ---- Forms used by the tests -----------------------------------------------

class TestForm : public TForm {
 public:
  explicit TestForm(TForm* owner = nullptr, TPosition position = TPosition::ScreenCenter)
      : TForm({"TFormsTestForm", "Test form", 220, 140, position, owner}) {
    SetDefaultButton(&ok);
    SetCancelButton(&cancel);
  }
  TGroupBox grp{*this, {10, {4, 6, 200, 80}, "Group"}};
  TEdit edit{grp, {11, {8, 16, 120, 21}, ""}};
  TLabel hint{grp, {12, {8, 41, 76, 13}, "ie : 0x0045894F"}};
  TButton ok{grp, {13, {8, 55, 75, 21}, "Ok", 0, mrOk}};
  TButton cancel{*this, {14, {110, 100, 75, 25}, "Cancel", 0, mrCancel}};
  TButton plain{*this, {15, {10, 100, 75, 25}, "Plain", kButtonIcon}};
};

class FormsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Application().SetTitle("Quillfen forms test");
    Application().SetMainForm(&main_);
  }
  void TearDown() override { Application().SetMainForm(nullptr); }

  TForm main_{{"TFormsTestMain", "Main", 300, 200}};
};

// ---- Texts ---------------------------------------------------------------------

TEST(ErrorBoxTextTest, AddsDotOnlyAfterACharacterAboveDot) {
  const struct {
    const char* message;
    const char* shown;
  } cases[] = {
      {"Indice de liste hors limites (5)", "Indice de liste hors limites (5)"},  // ')' < '.'
      {"Le fichier est introuvable", "Le fichier est introuvable."},
      {"Fin.", "Fin."},
      {"Attention!", "Attention!"},
      {"chemin/", "chemin/."},  // '/' follows '.' in the code table
      {"9", "9."},
      {"Accès refusé", "Accès refusé."},  // bytes above 127 count as above '.'
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorBoxText(c.message), c.shown) << c.message;
}

TEST(OpenDialogTest, FilterBecomesTheSystemsDoubleNulList) {
  using namespace std::string_literals;
  EXPECT_EQ(TOpenDialog::FilterToSystem("MAP File|*.map"), "MAP File\0*.map\0\0"s);
  EXPECT_EQ(TOpenDialog::FilterToSystem("A|*.a|B|*.b;*.c"), "A\0*.a\0B\0*.b;*.c\0\0"s);
}

// ---- Form and controls -----------------------------------------------------

TEST_F(FormsTest, FormHasFixedSingleBorderAndTheClientSizeAsked) {
  TestForm form;
  form.Show();
  const LONG style = GetWindowLongA(form.Handle(), GWL_STYLE);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME);
  const RECT client = ClientRectOf(form.Handle());
  EXPECT_EQ(client.right, 220);
  EXPECT_EQ(client.bottom, 140);

  // A menu bar takes no room from the client area.
  TMainMenu menu(main_);
  TMenuItem file(menu, {0, "&File"});
  TMenuItem quit(file, {901, "Quit"});
  main_.Show();
  EXPECT_EQ(ClientRectOf(main_.Handle()).right, 300);
  EXPECT_EQ(ClientRectOf(main_.Handle()).bottom, 200);
  main_.Hide();
}

TEST_F(FormsTest, FormIsCentredOnTheScreenOrOverItsOwner) {
  TestForm onScreen;
  onScreen.Show();
  RECT window;
  GetWindowRect(onScreen.Handle(), &window);
  EXPECT_NEAR((window.left + window.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2, 1);
  EXPECT_NEAR((window.top + window.bottom) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 1);

  main_.Show();
  SetWindowPos(main_.Handle(), nullptr, 40, 50, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  TestForm overOwner(&main_, TPosition::OwnerFormCenter);
  overOwner.Show();
  RECT owner;
  GetWindowRect(main_.Handle(), &owner);
  GetWindowRect(overOwner.Handle(), &window);
  EXPECT_NEAR((window.left + window.right) / 2, (owner.left + owner.right) / 2, 1);
  EXPECT_NEAR((window.top + window.bottom) / 2, (owner.top + owner.bottom) / 2, 1);
  EXPECT_EQ(GetWindow(overOwner.Handle(), GW_OWNER), main_.Handle());
  main_.Hide();
}

TEST_F(FormsTest, ControlsInAGroupBoxAreOffsetByItAndUseTheFrameworkFont) {
  TestForm form;
  const RECT edit = RectInParent(form.edit.Handle());
  EXPECT_EQ(GetParent(form.edit.Handle()), form.Handle());
  EXPECT_EQ(edit.left, 4 + 8);
  EXPECT_EQ(edit.top, 6 + 16);
  EXPECT_EQ(edit.right - edit.left, 120);
  EXPECT_EQ(edit.bottom - edit.top, 21);
  EXPECT_EQ(GetDlgItem(form.Handle(), 14), form.cancel.Handle());

  for (HWND control : {form.grp.Handle(), form.edit.Handle(), form.hint.Handle(), form.ok.Handle()}) {
    LOGFONTA font{};
    HFONT handle = reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0));
    ASSERT_TRUE(GetObjectA(handle, sizeof(font), &font));
    EXPECT_STREQ(font.lfFaceName, "MS Sans Serif");
    EXPECT_EQ(font.lfHeight, -11);
  }
}

TEST_F(FormsTest, TabOrderIsCreationOrderOverFocusableControls) {
  TestForm form;
  form.Show();
  HWND first = GetNextDlgTabItem(form.Handle(), nullptr, FALSE);
  std::vector<HWND> order{first};
  for (HWND next = GetNextDlgTabItem(form.Handle(), first, FALSE); next != first && order.size() < 10;
       next = GetNextDlgTabItem(form.Handle(), next, FALSE)) {
    order.push_back(next);
  }
  const std::vector<HWND> expected{form.edit.Handle(), form.ok.Handle(), form.cancel.Handle(),
                                   form.plain.Handle()};
  EXPECT_EQ(order, expected);
}

TEST_F(FormsTest, ShowModalEndsWithTheResultOfTheWayItIsClosed) {
  const struct {
    const char* how;
    std::function<void(TestForm&)> close;
    int result;
  } cases[] = {
      {"Ok button", [](TestForm& f) { f.ok.Click(); }, mrOk},
      {"Cancel button", [](TestForm& f) { f.cancel.Click(); }, mrCancel},
      {"close box", [](TestForm& f) { PostMessageA(f.Handle(), WM_CLOSE, 0, 0); }, mrCancel},
      {"Enter in the edit (default button)",
       [](TestForm& f) {
         f.edit.SetFocus();
         PostMessageA(f.edit.Handle(), WM_KEYDOWN, VK_RETURN, 1);
       },
       mrOk},
      {"Esc (cancel button)",
       [](TestForm& f) {
         f.edit.SetFocus();
         PostMessageA(f.edit.Handle(), WM_KEYDOWN, VK_ESCAPE, 1);
       },
       mrCancel},
      {"a result set by code", [](TestForm& f) { f.SetModalResult(7); }, 7},
  };
  main_.Show();
  TestForm form(&main_, TPosition::OwnerFormCenter);
  for (const auto& c : cases) {
    bool ownerDisabled = false;
    bool shownDuringLoop = false;
    LoopActions actions({[&] {
      ownerDisabled = !IsWindowEnabled(main_.Handle());
      shownDuringLoop = form.Visible();
      c.close(form);
    }});
    EXPECT_EQ(form.ShowModal(), c.result) << c.how;
    EXPECT_TRUE(ownerDisabled) << c.how;
    EXPECT_TRUE(shownDuringLoop) << c.how;
    EXPECT_TRUE(IsWindowEnabled(main_.Handle())) << c.how;
    EXPECT_FALSE(form.Visible()) << c.how;  // hidden, alive for the next showing
  }
  main_.Hide();
}

TEST_F(FormsTest, TabMovesTheFocusAndAFocusedButtonTakesEnter) {
  TestForm form;
  int plainClicks = 0;
  form.plain.OnClick = [&](TComponent*) { ++plainClicks; };
  LoopActions actions({
      [&] {
        form.cancel.SetFocus();
        PostMessageA(form.cancel.Handle(), WM_KEYDOWN, VK_TAB, 1);
      },
      [&] {
        EXPECT_TRUE(form.plain.Focused());
        PostMessageA(form.plain.Handle(), WM_KEYDOWN, VK_RETURN, 1);
      },
      [&] { form.cancel.Click(); },
  });
  EXPECT_EQ(form.ShowModal(), mrCancel);
  EXPECT_EQ(plainClicks, 1);
}

TEST_F(FormsTest, ButtonShowsItsImageBesideTheCaption) {
  TestForm form;
  EXPECT_TRUE(form.plain.HasImage());
  EXPECT_FALSE(form.ok.HasImage());
  BUTTON_IMAGELIST list{};
  ASSERT_TRUE(SendMessageA(form.plain.Handle(), BCM_GETIMAGELIST, 0, reinterpret_cast<LPARAM>(&list)));
  EXPECT_EQ(ImageList_GetImageCount(list.himl), 1);
  EXPECT_EQ(form.plain.Text(), "Plain");
}

TEST_F(FormsTest, LabelSizedToItsTextFollowsNewCaptions) {
  TLabel label(main_, {20, {8, 16, 0, 0}, "Version :"});
  const int shortWidth = label.FormBounds().width;
  EXPECT_GT(shortWidth, 20);
  label.SetCaption("Version : 1.0.0.0 and some more");
  EXPECT_GT(label.FormBounds().width, shortWidth);
  TLabel fixed(main_, {21, {8, 40, 50, 13}, "x"});
  fixed.SetCaption("a much longer text than fits");
  EXPECT_EQ(fixed.FormBounds().width, 50);
}

TEST_F(FormsTest, TreeViewInsertsFirstAndLastDeletesAndTellsLevels) {
  TTreeView tv(main_, {30, {8, 8, 273, 153}, 19});
  EXPECT_EQ(tv.Indent(), 19);
  TTreeNode alpha = tv.AddFirst(nullptr, "Alpha");
  TTreeNode beta = tv.AddFirst(nullptr, "Beta");  // goes before Alpha
  TTreeNode v1 = tv.AddChild(beta, "1.0.map");
  tv.AddChild(beta, "2.1.map");
  EXPECT_EQ(tv.FirstNode(), beta);
  EXPECT_EQ(tv.NextSibling(beta), alpha);
  EXPECT_EQ(tv.NodeText(tv.NextSibling(v1)), "2.1.map");
  EXPECT_TRUE(tv.HasChildren(beta));
  EXPECT_FALSE(tv.HasChildren(alpha));
  EXPECT_FALSE(tv.Expanded(beta));
  EXPECT_EQ(tv.Level(beta), 0);
  EXPECT_EQ(tv.Level(v1), 1);
  EXPECT_EQ(tv.Parent(v1), beta);
  EXPECT_EQ(tv.Count(), 4);

  tv.BeginUpdate();
  tv.Delete(alpha);
  tv.EndUpdate();
  EXPECT_EQ(tv.NextSibling(beta), nullptr);
  EXPECT_EQ(tv.Selected(), nullptr);
  tv.Select(v1);
  EXPECT_EQ(tv.Selected(), v1);
  tv.Clear();
  EXPECT_EQ(tv.Count(), 0);
  EXPECT_EQ(tv.FirstNode(), nullptr);
}

TEST_F(FormsTest, TreeViewDoubleClickReachesItsHandler) {
  TTreeView tv(main_, {31, {8, 8, 200, 100}, 19});
  TTreeNode node = tv.AddFirst(nullptr, "Demo");
  main_.Show();
  int clicks = 0;
  TComponent* sender = nullptr;
  tv.OnDblClick = [&](TComponent* s) {
    ++clicks;
    sender = s;
  };
  RECT item{};
  ASSERT_TRUE(TreeView_GetItemRect(tv.Handle(), node, &item, TRUE));
  const LPARAM at = MAKELPARAM(item.left + 2, (item.top + item.bottom) / 2);
  // A button press makes the tree view wait in a loop of its own for the
  // mouse to move away (a drag) or a button message; the release waits in
  // the queue, so that the wait ends wherever the pointer is.
  PostMessageA(tv.Handle(), WM_LBUTTONUP, 0, at);
  SendMessageA(tv.Handle(), WM_LBUTTONDOWN, MK_LBUTTON, at);
  SendMessageA(tv.Handle(), WM_LBUTTONDBLCLK, MK_LBUTTON, at);
  SendMessageA(tv.Handle(), WM_LBUTTONUP, 0, at);
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(sender, &tv);
  main_.Hide();
}

TEST_F(FormsTest, ComboBoxListsItemsAndKeepsATypedText) {
  TComboBox cmb(main_, {40, {8, 16, 169, 21}, ""});
  RECT closed;
  GetWindowRect(cmb.Handle(), &closed);
  EXPECT_EQ(closed.bottom - closed.top, 21);
  EXPECT_TRUE(GetWindowLongA(cmb.Handle(), GWL_STYLE) & CBS_DROPDOWN);

  cmb.Add("Demo");
  cmb.Add("Engine");
  EXPECT_EQ(cmb.Count(), 2);
  EXPECT_EQ(cmb.Item(1), "Engine");
  EXPECT_EQ(cmb.ItemIndex(), -1);
  cmb.SetItemIndex(0);
  EXPECT_EQ(cmb.Text(), "Demo");
  cmb.SetText("New project");
  EXPECT_EQ(cmb.Text(), "New project");
  try {
    cmb.Item(5);
    FAIL() << "no error for an index outside the list";
  } catch (const EListError& error) {
    EXPECT_STREQ(error.what(), "Indice de liste hors limites (5)");
  }
  cmb.Clear();
  EXPECT_EQ(cmb.Count(), 0);
}

TEST_F(FormsTest, PictureBoxShowsAGifAtItsOwnSize) {
  // 4 x 3 pixels: two red columns, then two blue ones.
  const unsigned char gif[] = {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x04, 0x00, 0x03, 0x00, 0xf0, 0x00,
                               0x00, 0xff, 0x00, 0x00, 0x00, 0x00, 0xff, 0x21, 0xf9, 0x04, 0x00, 0x00,
                               0x00, 0x00, 0x00, 0x2c, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x03, 0x00,
                               0x00, 0x02, 0x05, 0x04, 0x12, 0x86, 0x1a, 0x05, 0x00, 0x3b};
  TImage image(main_, {50, {0, 0, 388, 96}, ""});
  ASSERT_TRUE(image.LoadFromMemory(gif, sizeof(gif)));
  EXPECT_EQ(image.PictureSize().cx, 4);
  EXPECT_EQ(image.PictureSize().cy, 3);
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, image.Bitmap());
  EXPECT_EQ(GetPixel(dc, 0, 1), RGB(255, 0, 0));
  EXPECT_EQ(GetPixel(dc, 3, 1), RGB(0, 0, 255));
  SelectObject(dc, old);
  DeleteDC(dc);
  // The control shows it at the picture's size.
  BITMAP shown{};
  ASSERT_TRUE(GetObjectA(reinterpret_cast<HBITMAP>(SendMessageA(image.Handle(), STM_GETIMAGE, IMAGE_BITMAP, 0)),
                         sizeof(shown), &shown));
  EXPECT_EQ(shown.bmWidth, 4);
  RECT box = ClientRectOf(image.Handle());
  EXPECT_EQ(box.right, 4);
  EXPECT_EQ(box.bottom, 3);

  const char notAPicture[] = "GIF89a but nothing else";
  EXPECT_FALSE(image.LoadFromMemory(notAPicture, sizeof(notAPicture)));
  EXPECT_FALSE(image.LoadFromResource(999));
  EXPECT_EQ(image.PictureSize().cx, 4);  // the shown picture stays
}

TEST_F(FormsTest, MenuCommandRunsTheItemsHandler) {
  TMainMenu menu(main_);
  TMenuItem file(menu, {0, "&File"});
  TMenuItem quit(file, {901, "Quit"});
  TMenuItem help(menu, {0, "?"});
  TMenuItem helpItem(help, {902, "Help"});
  TMenuItem separator(help, {0, "-"});
  TMenuItem about(help, {903, "About..."});
  std::vector<int> clicked;
  quit.OnClick = [&](TComponent*) { clicked.push_back(901); };
  about.OnClick = [&](TComponent*) { clicked.push_back(903); };
  EXPECT_EQ(GetMenuItemCount(menu.Handle()), 2);
  EXPECT_EQ(GetMenuItemCount(GetSubMenu(menu.Handle(), 1)), 3);
  char caption[32] = {};
  GetMenuStringA(GetSubMenu(menu.Handle(), 1), 2, caption, sizeof(caption), MF_BYPOSITION);
  EXPECT_STREQ(caption, "About...");
  SendMessageA(main_.Handle(), WM_COMMAND, MAKEWPARAM(903, 0), 0);
  SendMessageA(main_.Handle(), WM_COMMAND, MAKEWPARAM(901, 0), 0);
  EXPECT_EQ(clicked, (std::vector<int>{903, 901}));
}

// ---- Boxes and the handler dispatch ---------------------------------------

TEST_F(FormsTest, AnErrorInAHandlerEndsTheActionInTheErrorBox) {
  TestForm form;
  bool after = false;
  form.plain.OnClick = [&](TComponent*) {
    throw EFOpenError("C:\\maps\\gone.map", "Le fichier spécifié est introuvable");
    after = true;
  };
  BoxWatcher watcher;
  SendMessageA(form.Handle(), WM_COMMAND, MAKEWPARAM(15, BN_CLICKED), 0);
  EXPECT_FALSE(after);
  ASSERT_EQ(watcher.Seen().count, 1);
  EXPECT_EQ(watcher.Seen().caption, "Quillfen forms test");
  EXPECT_EQ(watcher.Seen().text,
            "Impossible d'ouvrir le fichier \"C:\\maps\\gone.map\". Le fichier spécifié est introuvable.");
  EXPECT_TRUE(watcher.Seen().stopIcon);
  EXPECT_EQ(watcher.Seen().button, "OK");
}

TEST_F(FormsTest, RunningOutOfMemoryIsToldInTheFrameworksWords) {
  TestForm form;
  form.plain.OnClick = [&](TComponent*) { throw std::bad_alloc(); };
  BoxWatcher watcher;
  SendMessageA(form.Handle(), WM_COMMAND, MAKEWPARAM(15, BN_CLICKED), 0);
  ASSERT_EQ(watcher.Seen().count, 1);
  EXPECT_EQ(watcher.Seen().text, "M\xE9moire insuffisante.");
  EXPECT_TRUE(watcher.Seen().stopIcon);
}

TEST_F(FormsTest, PlainMessageBoxHasTheTitleNoIconAndOk) {
  BoxWatcher watcher;
  ShowMessage("Crash Address not found in MAP file");
  ASSERT_EQ(watcher.Seen().count, 1);
  EXPECT_EQ(watcher.Seen().caption, "Quillfen forms test");
  EXPECT_EQ(watcher.Seen().text, "Crash Address not found in MAP file");
  EXPECT_FALSE(watcher.Seen().stopIcon);
  EXPECT_EQ(watcher.Seen().button, "OK");
}

TEST_F(FormsTest, ShowModalOfAVisibleFormIsRefused) {
  TestForm form;
  form.Show();
  BoxWatcher watcher;
  Application().Dispatch([&] { form.ShowModal(); });
  ASSERT_EQ(watcher.Seen().count, 1);
  // The box shows ANSI text: read in the system's code page, the accent is
  // one letter, not the two of its UTF-8 bytes.
  const std::string& text = watcher.Seen().text;
  std::wstring shown(text.size(), L'\0');
  shown.resize(static_cast<size_t>(MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                                        &shown[0], static_cast<int>(shown.size()))));
  EXPECT_EQ(shown, L"Impossible de rendre modale une fen\u00EAtre visible.");
}

TEST_F(FormsTest, AnErrorShownLaterWaitsForTheMessageLoop) {
  BoxWatcher watcher;
  Application().ShowExceptionLater(Exception("Indice de liste hors limites (3)"));
  EXPECT_EQ(watcher.Seen().count, 0);
  Pump(500);
  ASSERT_EQ(watcher.Seen().count, 1);
  EXPECT_EQ(watcher.Seen().text, "Indice de liste hors limites (3)");
  EXPECT_TRUE(watcher.Seen().stopIcon);
}

TEST_F(FormsTest, ActivationFiresOncePerSwitchAndTheHandlerMayDetachItself) {
  TAppEvents events;
  int once = 0;
  int every = 0;
  events.OnActivate = [&](TComponent*) {
    ++once;
    events.OnActivate = nullptr;
  };
  TAppEvents other;
  other.OnActivate = [&](TComponent*) { ++every; };
  Application().NotifyActivateApp(false);
  Application().NotifyActivateApp(true);
  Application().NotifyActivateApp(true);  // a second window hears of the same switch
  Application().NotifyActivateApp(false);
  Application().NotifyActivateApp(true);
  EXPECT_EQ(once, 1);
  EXPECT_EQ(every, 2);
}

}  // namespace
}  // namespace qf
