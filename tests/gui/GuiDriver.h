// GuiDriver: drives a real Win32 program from a test process, the way a
// person would, under Windows or Wine (inside Xvfb with a Wine virtual desktop).
//
// Every call that waits has a deadline (kDefaultTimeoutMs unless given) and
// throws GuiError with a readable description when it runs out, so a test
// fails instead of hanging. GoogleTest reports the thrown text.
//
// Typical use:
//
//   qfgui::AppCopy app("Quillfen.exe");           // copies the exe and what
//                                                 // lies beside it (not other
//                                                 // .exe files, not "db") into
//                                                 // a fresh %TEMP%\qf-gui-XXXX
//   qfgui::AppProcess proc(app.ExePath());        // CreateProcess, wait idle
//   HWND main = proc.WaitForWindow("TMainDlg");   // top-level window by class
//   HWND edit = qfgui::Child(main, 106);          // control by ID (any depth)
//   qfgui::SetText(edit, "0x0045894F");           // WM_SETTEXT
//   qfgui::Click(qfgui::Child(main, 108));        // queued BM_CLICK (below)
//   qfgui::MessageBoxView box = proc.WaitForMessageBox();
//   EXPECT_EQ(box.text, "...");                    // caption, text, icon kind
//   qfgui::PressOk(box);                          // click OK, wait until gone
//   proc.ExpectNoMessageBox();                    // nothing popped up
//   qfgui::FileDialog dlg = proc.WaitForFileDialog();
//   qfgui::ChooseFile(dlg, "C:\\x\\a.map");        // or qfgui::Cancel(dlg)
//   qfgui::Command(main, 201);                    // menu item by IDM_ id
//   qfgui::SaveScreenshot(main, qfgui::JoinPath(qfgui::ShotsFolder(), "main.bmp"));
//                                                 // BitBlt of the screen; the
//                                                 // folder is %QF_SHOTS% or
//                                                 // <build>\shots, and
//                                                 // tests/gui/shots-to-png.sh
//                                                 // turns them into PNGs
//   proc.Close();                                 // WM_CLOSE, wait for exit
//
// Clicks and commands are queued with SendNotifyMessage (never SendMessage),
// so that a handler that opens a modal box does not block the test: the call
// returns at once, like PostMessage, but the message stays in order with the
// WM_NULL that Sync() sends afterwards. Sync() therefore returns once the
// handler has finished or has entered a modal loop (a box it opens exists by
// then). Key presses are posted, as the keyboard would deliver them to the
// message loop; their effects are awaited (a box appears, a text changes).
//
// Message boxes are found among the process's top-level windows of class
// "#32770" that hold a static text and no file-name field; the file dialog is
// the "#32770" window with the file-name field (cmb13 or edt1). Windows and
// Wine 8 put a message box's text in the static 0xFFFF (older Wine: 100, also
// looked for) and its icon in an SS_ICON static; whether that icon is the
// stop sign is judged from its pixels on screen (mostly red).
//
// Modal forms of the program (class names in src/app/ControlIds.h) are
// top-level windows like the main one: proc.WaitForWindow("TDBDlg").
//
// Cross-process reads of controls whose messages carry pointers (tree views,
// list views) need the text buffer inside the target: RemoteBuffer allocates
// one there (VirtualAllocEx) and copies it back; ReadTree, FindTreeNode and
// DoubleClickTreeItem use it for tree views, ComboItems reads a combo's list.
// A dialog's close box is PressCloseBox, Esc is PressKey(control, VK_ESCAPE).
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace qfgui {

constexpr int kDefaultTimeoutMs = 10000;

// Raised whenever something awaited does not happen or a window is missing.
class GuiError : public std::runtime_error {
 public:
  explicit GuiError(const std::string& what) : std::runtime_error(what) {}
};

// Polls condition every few milliseconds until it holds; false on timeout.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = kDefaultTimeoutMs);
// The same, but throws GuiError("timed out after N ms waiting for <what>").
void WaitOrThrow(const std::function<bool()>& condition, const std::string& what,
                 int timeoutMs = kDefaultTimeoutMs);

// ---- Files and folders ----------------------------------------------------

std::string ThisExeFolder();  // folder of the running test program, with '\'
std::string JoinPath(const std::string& folder, const std::string& name);
bool FileExists(const std::string& path);
bool FolderExists(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);  // throws on failure
void RemoveTree(const std::string& path);  // best effort, recursive

// A fresh folder %TEMP%\qf-gui-XXXX, removed with its contents at the end.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& Path() const { return path_; }  // ends without '\'
  std::string File(const std::string& name) const { return JoinPath(path_, name); }

 private:
  std::string path_;
};

// A private copy of a program: the exe named exeName from sourceFolder
// (default: the test's own folder) and everything beside it that is not
// another .exe (help pages, data, their folders), into a fresh TempFolder.
// Folders named in skippedFolders (default "db", the program's database)
// are left behind, so state kept beside the program starts empty.
class AppCopy {
 public:
  explicit AppCopy(const std::string& exeName, const std::string& sourceFolder = ThisExeFolder(),
                   const std::vector<std::string>& skippedFolders = {"db"});
  const std::string& ExePath() const { return exePath_; }  // full long path
  const std::string& Folder() const { return folder_.Path(); }
  std::string File(const std::string& name) const { return folder_.File(name); }

 private:
  TempFolder folder_;
  std::string exePath_;
};

// ---- Windows and controls -------------------------------------------------

std::string ClassOf(HWND window);
std::string TextOf(HWND window);   // WM_GETTEXT with a timeout
int IdOf(HWND window);
bool IsVisible(HWND window);

// Descendants (any depth) of parent with the given control ID, in Z order.
std::vector<HWND> ChildrenWithId(HWND parent, int id);
// Exactly one descendant with this ID; GuiError otherwise (with a dump).
HWND Child(HWND parent, int id);
// The first descendant whose text equals text (and class, when given).
HWND ChildByText(HWND parent, const std::string& text, const std::string& className = "");
HWND FindChildOrNull(HWND parent, int id);

// A tree of the window and its descendants: class, ID, text, style, place.
std::string Describe(HWND window);

void SetText(HWND control, const std::string& text);  // WM_SETTEXT
void Click(HWND button);                              // BM_CLICK, queued (see above)
void Command(HWND window, int commandId);              // queued WM_COMMAND (menus)
// Posted WM_KEYDOWN/WM_KEYUP of one virtual key to the control, as the
// keyboard would deliver them to the focused control (the message loop's
// IsDialogMessage/TranslateMessage see them like real keys).
void PressKey(HWND control, UINT virtualKey);
void PressEnter(HWND control);
// Gives the control the keyboard focus inside its own thread.
void Focus(HWND control);
// The control that has the keyboard focus in window's thread (or nullptr).
HWND FocusedControl(HWND window);

// Waits until the window's thread has processed every message posted to it
// before this call (or has entered a modal loop). Throws if it stays busy.
void Sync(HWND window, int timeoutMs = kDefaultTimeoutMs);

// Brings a top-level window to the foreground (activates its application).
void Activate(HWND topLevel);
HWND Foreground();

// A plain top-level window of the test process, to switch the foreground to
// another application and back.
class OtherWindow {
 public:
  OtherWindow();
  ~OtherWindow();
  OtherWindow(const OtherWindow&) = delete;
  OtherWindow& operator=(const OtherWindow&) = delete;
  HWND Handle() const { return hwnd_; }
  void Activate();  // foreground to this window, pumping its messages

 private:
  HWND hwnd_ = nullptr;
};

// Runs the test thread's own message queue for a while (for OtherWindow).
void PumpMessages(int milliseconds);

// ---- Message boxes and the file dialog -----------------------------------

struct MessageBoxView {
  HWND window = nullptr;
  std::string caption;
  std::string text;
  std::vector<std::string> buttons;  // captions of the push buttons
  bool hasIcon = false;   // a visible icon static holding an icon
  bool stopIcon = false;  // that icon, as drawn on screen, is mostly red
};

struct FileDialog {
  HWND window = nullptr;
  HWND fileName = nullptr;  // the edit or combo that takes the file name
  std::string caption;
};

// Reads a "#32770" message box (caption, text, buttons, icon).
MessageBoxView ReadMessageBox(HWND box);
// Presses its OK button (IDOK, or the only button) and waits until it is gone.
void PressOk(const MessageBoxView& box, int timeoutMs = kDefaultTimeoutMs);

// Types the full path into the file-name field and presses Open; waits
// until the dialog has closed.
void ChooseFile(const FileDialog& dialog, const std::string& fullPath,
                int timeoutMs = kDefaultTimeoutMs);
// Presses Cancel and waits until the dialog has closed.
void Cancel(const FileDialog& dialog, int timeoutMs = kDefaultTimeoutMs);

// ---- The program under test ----------------------------------------------

class AppProcess {
 public:
  // Starts exePath with its folder as current directory; waits for input idle.
  explicit AppProcess(const std::string& exePath, int timeoutMs = kDefaultTimeoutMs);
  // Closes the program if it still runs (WM_CLOSE, then TerminateProcess).
  ~AppProcess();
  AppProcess(const AppProcess&) = delete;
  AppProcess& operator=(const AppProcess&) = delete;

  DWORD Pid() const { return pi_.dwProcessId; }
  bool Running() const;
  // Exit code once ended; STILL_ACTIVE while running.
  DWORD ExitCode() const;

  // Top-level windows of this process (visible or not).
  std::vector<HWND> TopWindows() const;
  // The first visible top-level window of this class (and caption, if given).
  HWND WaitForWindow(const std::string& className, const std::string& caption = "",
                     int timeoutMs = kDefaultTimeoutMs) const;
  HWND FindWindowOrNull(const std::string& className, const std::string& caption = "") const;

  // Message boxes currently open, visible or still being shown.
  std::vector<HWND> MessageBoxes() const;
  MessageBoxView WaitForMessageBox(int timeoutMs = kDefaultTimeoutMs) const;
  // Fails (GuiError) when a message box appears within graceMs.
  void ExpectNoMessageBox(int graceMs = 500) const;

  FileDialog WaitForFileDialog(int timeoutMs = kDefaultTimeoutMs) const;

  // Posts WM_CLOSE to every visible top-level window and waits for exit;
  // terminates the process if it does not end in time (and throws then).
  void Close(int timeoutMs = kDefaultTimeoutMs);
  bool WaitForExit(int timeoutMs = kDefaultTimeoutMs) const;

 private:
  PROCESS_INFORMATION pi_{};
};

// ---- Memory inside the target process ------------------------------------

// A block of memory inside another process, for messages that carry pointers.
class RemoteBuffer {
 public:
  RemoteBuffer(DWORD pid, size_t size);
  ~RemoteBuffer();
  RemoteBuffer(const RemoteBuffer&) = delete;
  RemoteBuffer& operator=(const RemoteBuffer&) = delete;
  void* Address() const { return address_; }
  void Write(const void* data, size_t size, size_t offset = 0);
  void Read(void* data, size_t size, size_t offset = 0) const;

 private:
  HANDLE process_ = nullptr;
  void* address_ = nullptr;
  size_t size_ = 0;
};

// ---- Tree views and combo boxes -----------------------------------------

struct TreeNode {
  HTREEITEM item = nullptr;
  std::string text;
  bool expanded = false;
  bool selected = false;
  std::vector<TreeNode> children;
};
// Every node of a tree view, roots first, in display order.
std::vector<TreeNode> ReadTree(HWND tree);
// The node whose path of texts (root first) is path; GuiError if missing.
TreeNode FindTreeNode(HWND tree, const std::vector<std::string>& path);
void SelectTreeItem(HWND tree, HTREEITEM item);       // TVM_SELECTITEM, caret
// Selects the item and double-clicks it with the mouse (posted button
// messages at the middle of its text), as a person would.
void DoubleClickTreeItem(HWND tree, HTREEITEM item);
// Texts of a combo box's list.
std::vector<std::string> ComboItems(HWND combo);

// The window's close box (WM_SYSCOMMAND SC_CLOSE, queued like Click).
void PressCloseBox(HWND topLevel);

// ---- Registry ------------------------------------------------------------

// A REG_SZ value, or nullopt-like "found == false".
struct RegString {
  bool found = false;
  std::string value;
};
RegString ReadRegString(HKEY root, const std::string& key, const std::string& name);
void DeleteRegValue(HKEY root, const std::string& key, const std::string& name);

// ---- Screenshots ---------------------------------------------------------

// Copies the window's rectangle (nullptr: the whole screen) from the screen
// into a 24-bit BMP. Brings the window to the front and lets it repaint first.
void SaveScreenshot(HWND window, const std::string& bmpPath);
// A rectangle of the screen as it is now (e.g. a window and its box).
void SaveScreenshot(const RECT& screenRect, const std::string& bmpPath);
// The smallest rectangle holding both windows.
RECT UnionOfWindows(HWND a, HWND b);
// Folder for screenshots: %QF_SHOTS%, else <test folder>\..\shots; created.
std::string ShotsFolder();

// Average colour of a screen rectangle, for coarse checks of what is drawn.
struct Rgb {
  int r = 0, g = 0, b = 0;
};
Rgb AverageScreenColour(const RECT& screenRect);
// Share of pixels in the rectangle that are clearly red (r high, g/b low).
double RedShare(const RECT& screenRect);

}  // namespace qfgui
