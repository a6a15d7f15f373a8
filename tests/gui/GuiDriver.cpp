#include "GuiDriver.h"

#include <commctrl.h>
#include <dlgs.h>

#include <algorithm>
#include <cstddef>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <sstream>

namespace qfgui {
namespace {

constexpr int kPollMs = 20;
constexpr UINT kSendTimeoutMs = 5000;

std::string Hex(uintptr_t value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "0x%lX", static_cast<unsigned long>(value));
  return buffer;
}

bool EndsWithNoCase(const std::string& text, const std::string& tail) {
  if (tail.size() > text.size()) return false;
  return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, text.c_str() + text.size() - tail.size(),
                        static_cast<int>(tail.size()), tail.c_str(),
                        static_cast<int>(tail.size())) == CSTR_EQUAL;
}

std::string LongPath(const std::string& path) {
  char full[MAX_PATH * 2];
  DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  std::string result = (n > 0 && n < sizeof full) ? std::string(full, n) : path;
  char longer[MAX_PATH * 2];
  n = GetLongPathNameA(result.c_str(), longer, sizeof longer);
  return (n > 0 && n < sizeof longer) ? std::string(longer, n) : result;
}

void CollectDescendants(HWND parent, std::vector<HWND>& out) {
  for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    out.push_back(child);
    CollectDescendants(child, out);
  }
}

std::vector<HWND> Descendants(HWND parent) {
  std::vector<HWND> all;
  CollectDescendants(parent, all);
  return all;
}

void DescribeInto(HWND window, int depth, std::ostringstream& out) {
  RECT r{};
  GetWindowRect(window, &r);
  out << std::string(static_cast<size_t>(depth) * 2, ' ') << ClassOf(window) << " id=" << IdOf(window)
      << " text=\"" << TextOf(window) << "\" style=" << Hex(GetWindowLongA(window, GWL_STYLE))
      << (IsWindowVisible(window) ? "" : " hidden") << " rect=(" << r.left << "," << r.top << ")-("
      << r.right << "," << r.bottom << ")\n";
  for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    DescribeInto(child, depth + 1, out);
}

bool IsIconStatic(HWND window) {
  return ClassOf(window) == "Static" && (GetWindowLongA(window, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
}

HWND FileNameField(HWND dialog) {
  HWND field = GetDlgItem(dialog, cmb13);
  if (!field) field = GetDlgItem(dialog, edt1);
  return field;
}

// A push button that is a direct child of the dialog (dialogs may hold other
// controls with the same ID deeper down, e.g. a list view with ID 1).
HWND DialogButton(HWND dialog, int id) {
  for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    if (GetDlgCtrlID(child) == id && ClassOf(child) == "Button") return child;
  throw GuiError("no button with ID " + std::to_string(id) + " in:\n" + Describe(dialog));
}

bool IsMessageBox(HWND window) {
  if (ClassOf(window) != "#32770" || FileNameField(window)) return false;
  for (HWND child : Descendants(window))
    if (ClassOf(child) == "Static" && !IsIconStatic(child)) return true;
  return false;
}

// Captures a screen rectangle into a bottom-up 24-bit DIB.
struct Capture {
  int width = 0, height = 0, stride = 0;
  std::vector<unsigned char> bits;  // BGR rows, bottom row first
};

Capture CaptureScreen(const RECT& rect) {
  Capture c;
  c.width = rect.right - rect.left;
  c.height = rect.bottom - rect.top;
  if (c.width <= 0 || c.height <= 0) throw GuiError("screenshot of an empty rectangle");
  c.stride = (c.width * 3 + 3) & ~3;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = c.width;
  info.bmiHeader.biHeight = c.height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  void* pixels = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
  bool ok = false;
  if (bitmap && pixels) {
    HGDIOBJ old = SelectObject(memory, bitmap);
    ok = BitBlt(memory, 0, 0, c.width, c.height, screen, rect.left, rect.top, SRCCOPY | CAPTUREBLT);
    GdiFlush();
    if (ok) {
      const auto* p = static_cast<const unsigned char*>(pixels);
      c.bits.assign(p, p + static_cast<size_t>(c.stride) * c.height);
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
  }
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (!ok) throw GuiError("BitBlt from the screen failed");
  return c;
}

// Lets a window repaint itself (and its children) before pixels are read.
void LetRepaint(HWND window) {
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN |
                                             RDW_UPDATENOW);
  Sync(window);
  PumpMessages(150);
}

}  // namespace

// ---- Waiting --------------------------------------------------------------

void PumpMessages(int milliseconds) {
  const DWORD end = GetTickCount() + static_cast<DWORD>(milliseconds);
  for (;;) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    const DWORD now = GetTickCount();
    if (static_cast<int>(end - now) <= 0) break;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, std::min<DWORD>(end - now, kPollMs), QS_ALLINPUT);
  }
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (condition()) return true;
    if (static_cast<int>(GetTickCount() - start) >= timeoutMs) return condition();
    PumpMessages(kPollMs);
  }
}

void WaitOrThrow(const std::function<bool()>& condition, const std::string& what, int timeoutMs) {
  if (!WaitUntil(condition, timeoutMs))
    throw GuiError("timed out after " + std::to_string(timeoutMs) + " ms waiting for " + what);
}

// ---- Files and folders ----------------------------------------------------

std::string ThisExeFolder() {
  char buffer[MAX_PATH * 2];
  const DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  std::string path(buffer, n);
  return path.substr(0, path.find_last_of("\\/") + 1);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  const char last = folder.back();
  return (last == '\\' || last == '/') ? folder + name : folder + "\\" + name;
}

bool FileExists(const std::string& path) {
  const DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool FolderExists(const std::string& path) {
  const DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

void WriteFile(const std::string& path, const std::string& content) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) throw GuiError("cannot create " + path);
  DWORD written = 0;
  const BOOL ok = ::WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  CloseHandle(h);
  if (!ok || written != content.size()) throw GuiError("cannot write " + path);
}

void RemoveTree(const std::string& path) {
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(JoinPath(path, "*").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      const std::string full = JoinPath(path, name);
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(full);
      } else {
        SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(full.c_str());
      }
    } while (FindNextFileA(find, &found));
    FindClose(find);
  }
  RemoveDirectoryA(path.c_str());
}

TempFolder::TempFolder() {
  static std::atomic<int> counter{0};
  char temp[MAX_PATH];
  const DWORD n = GetTempPathA(sizeof temp, temp);
  if (n == 0 || n >= sizeof temp) throw GuiError("GetTempPathA failed");
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[64];
    std::snprintf(name, sizeof name, "qf-gui-%lu-%d", GetCurrentProcessId(), counter++);
    const std::string candidate = LongPath(JoinPath(temp, name));
    if (CreateDirectoryA(candidate.c_str(), nullptr)) {
      path_ = LongPath(candidate);
      return;
    }
  }
  throw GuiError("cannot create a temporary folder in " + std::string(temp));
}

TempFolder::~TempFolder() {
  // The program may still release its files for a moment after it ended.
  for (int attempt = 0; attempt < 10 && FolderExists(path_); ++attempt) {
    RemoveTree(path_);
    if (FolderExists(path_)) Sleep(100);
  }
}

namespace {

bool SameNameNoCase(const std::string& a, const std::string& b) {
  return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), -1, b.c_str(), -1) == CSTR_EQUAL;
}

// Copies the files and folders of source into target (which exists). At the
// top level, other programs and the skipped folders stay behind.
void CopyTree(const std::string& source, const std::string& target, bool topLevel, const std::string& exeName,
              const std::vector<std::string>& skippedFolders) {
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(JoinPath(source, "*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) throw GuiError("cannot list " + source);
  do {
    const std::string name = found.cFileName;
    if (name == "." || name == "..") continue;
    const std::string from = JoinPath(source, name), to = JoinPath(target, name);
    bool ok = true;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      const bool skipped = topLevel && std::any_of(skippedFolders.begin(), skippedFolders.end(),
                                                   [&](const std::string& s) { return SameNameNoCase(s, name); });
      if (skipped) continue;
      ok = CreateDirectoryA(to.c_str(), nullptr) != FALSE;
      if (ok) CopyTree(from, to, false, exeName, skippedFolders);
    } else {
      if (topLevel && !SameNameNoCase(name, exeName) && EndsWithNoCase(name, ".exe")) continue;
      ok = CopyFileA(from.c_str(), to.c_str(), FALSE) != FALSE;
    }
    if (!ok) {
      FindClose(find);
      throw GuiError("cannot copy " + from + " to " + to);
    }
  } while (FindNextFileA(find, &found));
  FindClose(find);
}

}  // namespace

AppCopy::AppCopy(const std::string& exeName, const std::string& sourceFolder,
                 const std::vector<std::string>& skippedFolders) {
  if (!FileExists(JoinPath(sourceFolder, exeName))) throw GuiError(exeName + " not found in " + sourceFolder);
  CopyTree(sourceFolder, folder_.Path(), true, exeName, skippedFolders);
  exePath_ = LongPath(folder_.File(exeName));
}

// ---- Windows and controls -------------------------------------------------

std::string ClassOf(HWND window) {
  char name[256] = "";
  const int n = GetClassNameA(window, name, sizeof name);
  return std::string(name, n > 0 ? n : 0);
}

std::string TextOf(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &length))
    throw GuiError("window " + Hex(reinterpret_cast<uintptr_t>(window)) + " does not answer WM_GETTEXTLENGTH");
  std::string text(static_cast<size_t>(length) + 1, '\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]),
                           SMTO_ABORTIFHUNG, kSendTimeoutMs, &copied))
    throw GuiError("window " + Hex(reinterpret_cast<uintptr_t>(window)) + " does not answer WM_GETTEXT");
  text.resize(std::min<size_t>(static_cast<size_t>(copied), text.size() - 1));
  return text;
}

int IdOf(HWND window) { return GetDlgCtrlID(window); }

bool IsVisible(HWND window) { return IsWindowVisible(window) != FALSE; }

std::vector<HWND> ChildrenWithId(HWND parent, int id) {
  std::vector<HWND> result;
  for (HWND child : Descendants(parent))
    if (GetDlgCtrlID(child) == id) result.push_back(child);
  return result;
}

HWND FindChildOrNull(HWND parent, int id) {
  const auto found = ChildrenWithId(parent, id);
  return found.empty() ? nullptr : found.front();
}

HWND Child(HWND parent, int id) {
  const auto found = ChildrenWithId(parent, id);
  if (found.size() == 1) return found.front();
  throw GuiError(std::to_string(found.size()) + " controls with ID " + std::to_string(id) +
                 " (expected one) in:\n" + Describe(parent));
}

HWND ChildByText(HWND parent, const std::string& text, const std::string& className) {
  for (HWND child : Descendants(parent))
    if ((className.empty() || ClassOf(child) == className) && TextOf(child) == text) return child;
  throw GuiError("no control with text \"" + text + "\" in:\n" + Describe(parent));
}

std::string Describe(HWND window) {
  std::ostringstream out;
  DescribeInto(window, 0, out);
  return out.str();
}

void SetText(HWND control, const std::string& text) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutA(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG,
                           kSendTimeoutMs, &result))
    throw GuiError("control " + Hex(reinterpret_cast<uintptr_t>(control)) + " does not answer WM_SETTEXT");
}

void Click(HWND button) {
  if (!IsWindow(button)) throw GuiError("click on a window that does not exist");
  if (!IsWindowVisible(button) || !IsWindowEnabled(button))
    throw GuiError("button \"" + TextOf(button) + "\" is hidden or disabled");
  // Queued like a posted message (the call returns at once, a modal box the
  // handler opens does not block us), but in order with Sync's WM_NULL.
  if (!SendNotifyMessageA(button, BM_CLICK, 0, 0)) throw GuiError("BM_CLICK could not be delivered");
}

void Command(HWND window, int commandId) {
  if (!SendNotifyMessageA(window, WM_COMMAND, MAKEWPARAM(commandId, 0), 0))
    throw GuiError("WM_COMMAND could not be delivered");
}

void PressKey(HWND control, UINT virtualKey) {
  const UINT scan = MapVirtualKeyA(virtualKey, MAPVK_VK_TO_VSC);
  const LPARAM down = 1 | (static_cast<LPARAM>(scan) << 16);
  const LPARAM up = down | (1u << 30) | (1u << 31);
  if (!PostMessageA(control, WM_KEYDOWN, virtualKey, down) || !PostMessageA(control, WM_KEYUP, virtualKey, up))
    throw GuiError("key could not be posted");
}

void PressEnter(HWND control) { PressKey(control, VK_RETURN); }

void Focus(HWND control) {
  // SetFocus works only inside the control's own thread: join its input
  // state for the call.
  const DWORD target = GetWindowThreadProcessId(control, nullptr);
  const DWORD self = GetCurrentThreadId();
  const bool attached = AttachThreadInput(self, target, TRUE) != FALSE;
  SetFocus(control);
  if (attached) AttachThreadInput(self, target, FALSE);
  WaitOrThrow([&] { return FocusedControl(control) == control; }, "the focus on the control", 2000);
}

HWND FocusedControl(HWND control) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(control, nullptr), &info)) return nullptr;
  return info.hwndFocus;
}

void Sync(HWND window, int timeoutMs) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, static_cast<UINT>(timeoutMs), &result))
    throw GuiError("the window's thread did not answer within " + std::to_string(timeoutMs) + " ms");
}

HWND Foreground() { return GetForegroundWindow(); }

void Activate(HWND topLevel) {
  WaitOrThrow(
      [&] {
        if (GetForegroundWindow() == topLevel) return true;
        SetForegroundWindow(topLevel);
        return false;
      },
      "window \"" + TextOf(topLevel) + "\" to come to the foreground");
  Sync(topLevel);
}

namespace {
LRESULT CALLBACK OtherWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  return DefWindowProcA(hwnd, msg, wp, lp);
}
}  // namespace

OtherWindow::OtherWindow() {
  static const char* const kClass = "QfGuiOtherWindow";
  WNDCLASSA wc{};
  wc.lpfnWndProc = OtherWindowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = kClass;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  RegisterClassA(&wc);  // fails harmlessly when already registered
  hwnd_ = CreateWindowExA(0, kClass, "Another program", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 600, 400, 300, 200,
                          nullptr, nullptr, wc.hInstance, nullptr);
  if (!hwnd_) throw GuiError("cannot create the test's own window");
  PumpMessages(50);
}

OtherWindow::~OtherWindow() {
  if (hwnd_) DestroyWindow(hwnd_);
}

void OtherWindow::Activate() {
  WaitOrThrow(
      [&] {
        if (GetForegroundWindow() == hwnd_) return true;
        SetForegroundWindow(hwnd_);
        return false;
      },
      "the test's own window to come to the foreground");
  PumpMessages(100);
}

// ---- Message boxes and the file dialog -----------------------------------

MessageBoxView ReadMessageBox(HWND box) {
  MessageBoxView view;
  view.window = box;
  view.caption = TextOf(box);
  HWND textControl = GetDlgItem(box, 0xFFFF);
  if (!textControl || ClassOf(textControl) != "Static") textControl = GetDlgItem(box, 100);
  HWND icon = nullptr;
  for (HWND child : Descendants(box)) {
    const std::string cls = ClassOf(child);
    if (cls == "Button" && IsWindowVisible(child)) {
      view.buttons.push_back(TextOf(child));
    } else if (IsIconStatic(child)) {
      DWORD_PTR handle = 0;
      if (IsWindowVisible(child) &&
          SendMessageTimeoutA(child, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &handle) && handle)
        icon = child;
    } else if (cls == "Static" && !textControl) {
      textControl = child;
    }
  }
  if (textControl) view.text = TextOf(textControl);
  if (icon) {
    view.hasIcon = true;
    WaitUntil([&] { return IsWindowVisible(box) != FALSE; }, 3000);
    LetRepaint(box);
    RECT r{};
    GetWindowRect(icon, &r);
    view.stopIcon = RedShare(r) > 0.15;
  }
  return view;
}

void PressOk(const MessageBoxView& box, int timeoutMs) {
  HWND ok = GetDlgItem(box.window, IDOK);
  if (!ok) {
    std::vector<HWND> buttons;
    for (HWND child : Descendants(box.window))
      if (ClassOf(child) == "Button" && IsWindowVisible(child)) buttons.push_back(child);
    if (buttons.size() == 1) ok = buttons.front();
  }
  if (!ok) throw GuiError("no OK button in the box:\n" + Describe(box.window));
  Click(ok);
  WaitOrThrow([&] { return !IsWindow(box.window); }, "the box \"" + box.text + "\" to close", timeoutMs);
}

void ChooseFile(const FileDialog& dialog, const std::string& fullPath, int timeoutMs) {
  HWND field = dialog.fileName;
  // A combo takes the text in its edit part.
  for (HWND child : Descendants(field))
    if (ClassOf(child) == "Edit") field = child;
  SetText(field, fullPath);
  Click(DialogButton(dialog.window, IDOK));
  WaitOrThrow([&] { return !IsWindow(dialog.window); }, "the file dialog to close after choosing " + fullPath,
              timeoutMs);
}

void Cancel(const FileDialog& dialog, int timeoutMs) {
  Click(DialogButton(dialog.window, IDCANCEL));
  WaitOrThrow([&] { return !IsWindow(dialog.window); }, "the file dialog to close after Cancel", timeoutMs);
}

// ---- The program under test ----------------------------------------------

AppProcess::AppProcess(const std::string& exePath, int timeoutMs) {
  std::string commandLine = "\"" + exePath + "\"";
  const std::string folder = exePath.substr(0, exePath.find_last_of("\\/"));
  STARTUPINFOA si{};
  si.cb = sizeof si;
  if (!CreateProcessA(exePath.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &si,
                      &pi_))
    throw GuiError("cannot start " + exePath + " (error " + std::to_string(GetLastError()) + ")");
  WaitForInputIdle(pi_.hProcess, static_cast<DWORD>(timeoutMs));
}

AppProcess::~AppProcess() {
  if (Running()) {
    try {
      Close(3000);
    } catch (const GuiError&) {
      // Close already terminated it.
    }
  }
  CloseHandle(pi_.hThread);
  CloseHandle(pi_.hProcess);
}

bool AppProcess::Running() const { return WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT; }

DWORD AppProcess::ExitCode() const {
  DWORD code = 0;
  GetExitCodeProcess(pi_.hProcess, &code);
  return code;
}

namespace {
struct WindowSearch {
  DWORD pid;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectWindowOfProcess(HWND hwnd, LPARAM lp) {
  auto* search = reinterpret_cast<WindowSearch*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (pid == search->pid) search->found.push_back(hwnd);
  return TRUE;
}
}  // namespace

std::vector<HWND> AppProcess::TopWindows() const {
  WindowSearch search{pi_.dwProcessId, {}};
  EnumWindows(CollectWindowOfProcess, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND AppProcess::FindWindowOrNull(const std::string& className, const std::string& caption) const {
  for (HWND w : TopWindows())
    if (IsWindowVisible(w) && ClassOf(w) == className && (caption.empty() || TextOf(w) == caption)) return w;
  return nullptr;
}

HWND AppProcess::WaitForWindow(const std::string& className, const std::string& caption, int timeoutMs) const {
  HWND found = nullptr;
  const bool ok = WaitUntil(
      [&] {
        found = FindWindowOrNull(className, caption);
        return found != nullptr || !Running();
      },
      timeoutMs);
  if (found) return found;
  std::string what = "window of class " + className + (caption.empty() ? "" : " with caption \"" + caption + "\"");
  if (!Running()) throw GuiError("the program ended (exit code " + std::to_string(ExitCode()) + ") before its " + what);
  std::string seen;
  for (HWND w : TopWindows()) seen += "  " + ClassOf(w) + " \"" + TextOf(w) + "\"" + (IsWindowVisible(w) ? "\n" : " hidden\n");
  throw GuiError((ok ? "" : "timed out after " + std::to_string(timeoutMs) + " ms waiting for ") + what +
                 "; top-level windows of the program:\n" + seen);
}

std::vector<HWND> AppProcess::MessageBoxes() const {
  std::vector<HWND> boxes;
  for (HWND w : TopWindows())
    if (IsMessageBox(w)) boxes.push_back(w);
  return boxes;
}

MessageBoxView AppProcess::WaitForMessageBox(int timeoutMs) const {
  HWND box = nullptr;
  WaitUntil(
      [&] {
        for (HWND w : MessageBoxes())
          if (IsWindowVisible(w)) box = w;
        return box != nullptr || !Running();
      },
      timeoutMs);
  if (!box) {
    if (!Running()) throw GuiError("the program ended (exit code " + std::to_string(ExitCode()) + ") instead of showing a message box");
    throw GuiError("timed out after " + std::to_string(timeoutMs) + " ms waiting for a message box");
  }
  Sync(box);
  return ReadMessageBox(box);
}

void AppProcess::ExpectNoMessageBox(int graceMs) const {
  HWND box = nullptr;
  WaitUntil(
      [&] {
        const auto boxes = MessageBoxes();
        if (!boxes.empty()) box = boxes.front();
        return box != nullptr;
      },
      graceMs);
  if (box) {
    const MessageBoxView view = ReadMessageBox(box);
    throw GuiError("unexpected message box \"" + view.caption + "\": " + view.text);
  }
}

FileDialog AppProcess::WaitForFileDialog(int timeoutMs) const {
  FileDialog dialog;
  WaitUntil(
      [&] {
        for (HWND w : TopWindows())
          if (IsWindowVisible(w) && ClassOf(w) == "#32770" && FileNameField(w)) dialog.window = w;
        return dialog.window != nullptr || !Running();
      },
      timeoutMs);
  if (!dialog.window) {
    if (!Running()) throw GuiError("the program ended before showing the file dialog");
    throw GuiError("timed out after " + std::to_string(timeoutMs) + " ms waiting for the file dialog");
  }
  Sync(dialog.window);
  dialog.fileName = FileNameField(dialog.window);
  dialog.caption = TextOf(dialog.window);
  return dialog;
}

bool AppProcess::WaitForExit(int timeoutMs) const {
  return WaitForSingleObject(pi_.hProcess, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
}

void AppProcess::Close(int timeoutMs) {
  if (!Running()) return;
  // Boxes first: a window closes only once its modal boxes are gone.
  for (HWND box : MessageBoxes()) PostMessageA(box, WM_COMMAND, IDOK, 0);
  for (HWND w : TopWindows())
    if (IsWindowVisible(w) && !GetWindow(w, GW_OWNER)) PostMessageA(w, WM_CLOSE, 0, 0);
  if (WaitForExit(timeoutMs)) return;
  TerminateProcess(pi_.hProcess, 1);
  WaitForExit(timeoutMs);
  throw GuiError("the program did not end within " + std::to_string(timeoutMs) + " ms of being closed");
}

// ---- Memory inside the target process ------------------------------------

RemoteBuffer::RemoteBuffer(DWORD pid, size_t size) : size_(size) {
  process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  if (!process_) throw GuiError("cannot open the process " + std::to_string(pid));
  address_ = VirtualAllocEx(process_, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (!address_) {
    CloseHandle(process_);
    throw GuiError("cannot allocate memory in the process " + std::to_string(pid));
  }
}

RemoteBuffer::~RemoteBuffer() {
  VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
  CloseHandle(process_);
}

void RemoteBuffer::Write(const void* data, size_t size, size_t offset) {
  SIZE_T done = 0;
  if (offset + size > size_ ||
      !WriteProcessMemory(process_, static_cast<char*>(address_) + offset, data, size, &done) || done != size)
    throw GuiError("cannot write into the other process");
}

void RemoteBuffer::Read(void* data, size_t size, size_t offset) const {
  SIZE_T done = 0;
  if (offset + size > size_ ||
      !ReadProcessMemory(process_, static_cast<char*>(address_) + offset, data, size, &done) || done != size)
    throw GuiError("cannot read from the other process");
}

// ---- Tree views and combo boxes -----------------------------------------

namespace {

struct RemoteTvItem {
  TVITEMA item;
  char text[520];
};

TreeNode ReadTreeNode(HWND tree, RemoteBuffer& remote, HTREEITEM item) {
  RemoteTvItem local{};
  local.item.mask = TVIF_TEXT | TVIF_STATE | TVIF_HANDLE;
  local.item.hItem = item;
  local.item.stateMask = TVIS_EXPANDED | TVIS_SELECTED;
  local.item.pszText = static_cast<char*>(remote.Address()) + offsetof(RemoteTvItem, text);
  local.item.cchTextMax = sizeof local.text;
  remote.Write(&local, sizeof local);
  DWORD_PTR ok = 0;
  if (!SendMessageTimeoutA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(remote.Address()), SMTO_ABORTIFHUNG,
                           kSendTimeoutMs, &ok) ||
      !ok)
    throw GuiError("TVM_GETITEM failed");
  remote.Read(&local, sizeof local);
  local.text[sizeof local.text - 1] = '\0';
  TreeNode node;
  node.item = item;
  node.text = local.text;
  node.expanded = (local.item.state & TVIS_EXPANDED) != 0;
  node.selected = (local.item.state & TVIS_SELECTED) != 0;
  return node;
}

HTREEITEM NextTreeItem(HWND tree, HTREEITEM item, UINT relation) {
  DWORD_PTR next = 0;
  SendMessageTimeoutA(tree, TVM_GETNEXTITEM, relation, reinterpret_cast<LPARAM>(item), SMTO_ABORTIFHUNG,
                      kSendTimeoutMs, &next);
  return reinterpret_cast<HTREEITEM>(next);
}

std::vector<TreeNode> ReadTreeLevel(HWND tree, RemoteBuffer& remote, HTREEITEM first) {
  std::vector<TreeNode> level;
  for (HTREEITEM item = first; item; item = NextTreeItem(tree, item, TVGN_NEXT)) {
    TreeNode node = ReadTreeNode(tree, remote, item);
    node.children = ReadTreeLevel(tree, remote, NextTreeItem(tree, item, TVGN_CHILD));
    level.push_back(std::move(node));
  }
  return level;
}

DWORD ProcessOf(HWND window) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  return pid;
}

}  // namespace

std::vector<TreeNode> ReadTree(HWND tree) {
  RemoteBuffer remote(ProcessOf(tree), sizeof(RemoteTvItem));
  return ReadTreeLevel(tree, remote, NextTreeItem(tree, nullptr, TVGN_ROOT));
}

TreeNode FindTreeNode(HWND tree, const std::vector<std::string>& path) {
  std::vector<TreeNode> level = ReadTree(tree);
  TreeNode found;
  std::string walked;
  for (const std::string& text : path) {
    walked += "/" + text;
    auto it = std::find_if(level.begin(), level.end(), [&](const TreeNode& n) { return n.text == text; });
    if (it == level.end()) throw GuiError("no tree node " + walked);
    found = *it;
    level = found.children;
  }
  return found;
}

void SelectTreeItem(HWND tree, HTREEITEM item) {
  DWORD_PTR ok = 0;
  if (!SendMessageTimeoutA(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item), SMTO_ABORTIFHUNG,
                           kSendTimeoutMs, &ok) ||
      !ok)
    throw GuiError("TVM_SELECTITEM failed");
}

void DoubleClickTreeItem(HWND tree, HTREEITEM item) {
  SelectTreeItem(tree, item);
  RemoteBuffer remote(ProcessOf(tree), sizeof(RECT));
  RECT rect{};
  remote.Write(&item, sizeof item);  // TVM_GETITEMRECT takes the item in the RECT
  DWORD_PTR ok = 0;
  if (!SendMessageTimeoutA(tree, TVM_GETITEMRECT, TRUE, reinterpret_cast<LPARAM>(remote.Address()),
                           SMTO_ABORTIFHUNG, kSendTimeoutMs, &ok) ||
      !ok)
    throw GuiError("the tree item is not visible (TVM_GETITEMRECT failed)");
  remote.Read(&rect, sizeof rect);
  const LPARAM at = MAKELPARAM((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
  if (!PostMessageA(tree, WM_LBUTTONDBLCLK, MK_LBUTTON, at) || !PostMessageA(tree, WM_LBUTTONUP, 0, at))
    throw GuiError("the double click could not be posted");
}

std::vector<std::string> ComboItems(HWND combo) {
  // Asked in UTF-16: Wine hands CB_GETLBTEXT's text across processes
  // unconverted, so an ANSI request would come back as UTF-16 bytes.
  DWORD_PTR count = 0;
  if (!SendMessageTimeoutW(combo, CB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &count))
    throw GuiError("the combo box does not answer CB_GETCOUNT");
  std::vector<std::string> items;
  for (DWORD_PTR i = 0; i < count; ++i) {
    DWORD_PTR length = 0;
    SendMessageTimeoutW(combo, CB_GETLBTEXTLEN, i, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &length);
    std::wstring wide(static_cast<size_t>(length) + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(&wide[0]), SMTO_ABORTIFHUNG,
                        kSendTimeoutMs, &copied);
    wide.resize(wcsnlen(wide.c_str(), static_cast<size_t>(length)));
    std::string text(wide.size() * 2 + 1, '\0');
    const int n = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), static_cast<int>(wide.size()), &text[0],
                                      static_cast<int>(text.size()), nullptr, nullptr);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    items.push_back(text);
  }
  return items;
}

void PressCloseBox(HWND topLevel) {
  if (!SendNotifyMessageA(topLevel, WM_SYSCOMMAND, SC_CLOSE, 0)) throw GuiError("SC_CLOSE could not be delivered");
}

// ---- Registry ------------------------------------------------------------

RegString ReadRegString(HKEY root, const std::string& key, const std::string& name) {
  RegString result;
  HKEY h = nullptr;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return result;
  DWORD type = 0, size = 0;
  if (RegQueryValueExA(h, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_SZ) {
    std::string value(size + 1, '\0');
    if (RegQueryValueExA(h, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value[0]), &size) ==
        ERROR_SUCCESS) {
      value.resize(std::min<size_t>(size, value.size()));
      while (!value.empty() && value.back() == '\0') value.pop_back();
      result.found = true;
      result.value = value;
    }
  }
  RegCloseKey(h);
  return result;
}

void DeleteRegValue(HKEY root, const std::string& key, const std::string& name) {
  HKEY h = nullptr;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_SET_VALUE, &h) != ERROR_SUCCESS) return;
  RegDeleteValueA(h, name.c_str());
  RegCloseKey(h);
}

// ---- Screenshots ---------------------------------------------------------

std::string ShotsFolder() {
  char buffer[MAX_PATH * 2];
  const DWORD n = GetEnvironmentVariableA("QF_SHOTS", buffer, sizeof buffer);
  std::string folder = (n > 0 && n < sizeof buffer) ? std::string(buffer, n) : ThisExeFolder() + "..\\shots";
  folder = LongPath(folder);
  CreateDirectoryA(folder.c_str(), nullptr);
  if (!FolderExists(folder)) throw GuiError("cannot create the screenshot folder " + folder);
  return folder;
}

void SaveScreenshot(HWND window, const std::string& bmpPath) {
  RECT r{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  if (window) {
    Activate(window);
    LetRepaint(window);
    GetWindowRect(window, &r);
  }
  SaveScreenshot(r, bmpPath);
}

RECT UnionOfWindows(HWND a, HWND b) {
  RECT ra{}, rb{}, both{};
  GetWindowRect(a, &ra);
  GetWindowRect(b, &rb);
  UnionRect(&both, &ra, &rb);
  return both;
}

void SaveScreenshot(const RECT& screenRect, const std::string& bmpPath) {
  RECT r = screenRect;
  RECT screen{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  IntersectRect(&r, &r, &screen);
  const Capture c = CaptureScreen(r);
  BITMAPFILEHEADER file{};
  BITMAPINFOHEADER info{};
  info.biSize = sizeof info;
  info.biWidth = c.width;
  info.biHeight = c.height;
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  info.biSizeImage = static_cast<DWORD>(c.bits.size());
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = file.bfOffBits + info.biSizeImage;
  std::string data(reinterpret_cast<const char*>(&file), sizeof file);
  data.append(reinterpret_cast<const char*>(&info), sizeof info);
  data.append(reinterpret_cast<const char*>(c.bits.data()), c.bits.size());
  WriteFile(bmpPath, data);
}

Rgb AverageScreenColour(const RECT& screenRect) {
  const Capture c = CaptureScreen(screenRect);
  long long r = 0, g = 0, b = 0;
  for (int y = 0; y < c.height; ++y) {
    const unsigned char* row = &c.bits[static_cast<size_t>(y) * c.stride];
    for (int x = 0; x < c.width; ++x) {
      b += row[x * 3];
      g += row[x * 3 + 1];
      r += row[x * 3 + 2];
    }
  }
  const long long n = static_cast<long long>(c.width) * c.height;
  return Rgb{static_cast<int>(r / n), static_cast<int>(g / n), static_cast<int>(b / n)};
}

double RedShare(const RECT& screenRect) {
  const Capture c = CaptureScreen(screenRect);
  long long red = 0;
  for (int y = 0; y < c.height; ++y) {
    const unsigned char* row = &c.bits[static_cast<size_t>(y) * c.stride];
    for (int x = 0; x < c.width; ++x) {
      const int b = row[x * 3], g = row[x * 3 + 1], r = row[x * 3 + 2];
      if (r > 150 && g < 100 && b < 100) ++red;
    }
  }
  return static_cast<double>(red) / (static_cast<double>(c.width) * c.height);
}

}  // namespace qfgui
