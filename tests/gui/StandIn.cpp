// gui_standin.exe: a tiny window program on which the GUI driver tests
// itself. It shows the pieces the driver must handle in a real program: an
// edit with a default button (Enter), a plain and a stop-icon message box,
// the open-file dialog, a menu command and the application-activation count.
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include <string>

namespace {

enum : int {
  kEdit = 10,
  kStatus = 11,
  kShowButton = 12,  // default button: MessageBoxA with the edit's text
  kFailButton = 13,  // MessageBoxA with the stop icon
  kOpenButton = 14,  // GetOpenFileNameA; the status shows the outcome
  kCombo = 15,       // items "Alpha", "Beta"
  kTree = 16,        // "Demo" with child "2.1", then "Empty"; double click:
                     // MessageBoxA with the selected item's text
  kQuitCommand = 20,
};

HWND g_main = nullptr;
int g_activations = 0;

std::string TextOf(HWND control) {
  char buffer[1024] = "";
  GetWindowTextA(control, buffer, sizeof buffer);
  return buffer;
}

void OnCommand(HWND hwnd, int id) {
  switch (id) {
    case kShowButton:
      MessageBoxA(hwnd, TextOf(GetDlgItem(hwnd, kEdit)).c_str(), "Stand-in", MB_OK);
      break;
    case kFailButton:
      MessageBoxA(hwnd, "Something failed.", "Stand-in", MB_OK | MB_ICONSTOP);
      break;
    case kOpenButton: {
      char file[MAX_PATH] = "";
      OPENFILENAMEA ofn{};
      ofn.lStructSize = sizeof ofn;
      ofn.hwndOwner = hwnd;
      ofn.lpstrFilter = "MAP File\0*.map\0";
      ofn.lpstrFile = file;
      ofn.nMaxFile = sizeof file;
      ofn.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_HIDEREADONLY;
      const std::string outcome = GetOpenFileNameA(&ofn) ? std::string("chose ") + file : "cancelled";
      SetWindowTextA(GetDlgItem(hwnd, kStatus), outcome.c_str());
      break;
    }
    case kQuitCommand:
      DestroyWindow(hwnd);
      break;
  }
}

void ShowSelectedTreeItem(HWND hwnd) {
  HWND tree = GetDlgItem(hwnd, kTree);
  char text[260] = "";
  TVITEMA item{};
  item.mask = TVIF_TEXT;
  item.hItem = TreeView_GetSelection(tree);
  item.pszText = text;
  item.cchTextMax = sizeof text;
  if (item.hItem && TreeView_GetItem(tree, &item)) MessageBoxA(hwnd, text, "Stand-in", MB_OK);
}

HTREEITEM AddTreeItem(HWND tree, HTREEITEM parent, const char* text) {
  TVINSERTSTRUCTA insert{};
  insert.hParent = parent;
  insert.hInsertAfter = TVI_LAST;
  insert.item.mask = TVIF_TEXT;
  insert.item.pszText = const_cast<char*>(text);
  return reinterpret_cast<HTREEITEM>(SendMessageA(tree, TVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&insert)));
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lp);
      if (header->idFrom == kTree && header->code == NM_DBLCLK) ShowSelectedTreeItem(hwnd);
      return 0;
    }
    case WM_COMMAND:
      OnCommand(hwnd, LOWORD(wp));
      return 0;
    case DM_GETDEFID:
      return MAKELRESULT(kShowButton, DC_HASDEFID);
    case WM_ACTIVATEAPP:
      if (wp) {
        ++g_activations;
        SetWindowTextA(hwnd, ("Stand-in " + std::to_string(g_activations)).c_str());
      }
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcA(hwnd, msg, wp, lp);
}

HWND Add(const char* cls, const char* text, DWORD style, int x, int y, int w, int h, int id) {
  HWND control = CreateWindowExA(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, g_main,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleA(nullptr), nullptr);
  SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
  return control;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.lpszClassName = "QfStandIn";
  RegisterClassA(&wc);
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_TREEVIEW_CLASSES};
  InitCommonControlsEx(&icc);

  HMENU file = CreatePopupMenu();
  AppendMenuA(file, MF_STRING, kQuitCommand, "Quit");
  HMENU bar = CreateMenu();
  AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(file), "&File");

  g_main = CreateWindowExA(0, "QfStandIn", "Stand-in", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                           100, 100, 320, 300, nullptr, bar, instance, nullptr);
  Add("Edit", "", WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 8, 8, 180, 21, kEdit);
  Add("Button", "Show", WS_TABSTOP | BS_DEFPUSHBUTTON, 196, 8, 100, 24, kShowButton);
  Add("Button", "Fail", WS_TABSTOP, 196, 36, 100, 24, kFailButton);
  Add("Button", "Open", WS_TABSTOP, 196, 64, 100, 24, kOpenButton);
  Add("Static", "", SS_LEFT, 8, 40, 180, 48, kStatus);
  HWND combo = Add("ComboBox", "", WS_TABSTOP | CBS_DROPDOWN | WS_VSCROLL, 8, 96, 180, 120, kCombo);
  SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("Alpha"));
  SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("Beta"));
  HWND tree = Add(WC_TREEVIEWA, "", WS_BORDER | WS_TABSTOP | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT,
                  8, 126, 180, 100, kTree);
  AddTreeItem(tree, AddTreeItem(tree, TVI_ROOT, "Demo"), "2.1");
  AddTreeItem(tree, TVI_ROOT, "Empty");
  ShowWindow(g_main, show);
  UpdateWindow(g_main);

  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (IsDialogMessageA(g_main, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return 0;
}
