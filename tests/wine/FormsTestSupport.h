// Helpers of the window tests: actions run from inside the program's own
// message loops, a watcher that reads and closes message boxes, a pump.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <string>

#include "Application.h"

namespace qf::test {

// Runs actions, one per timer tick, from inside whatever message loop runs
// next (a modal form's or a message box's).
class LoopActions {
 public:
  explicit LoopActions(std::deque<std::function<void()>> actions) {
    pending() = std::move(actions);
    timer_ = SetTimer(nullptr, 0, 20, Tick);
  }
  ~LoopActions() {
    KillTimer(nullptr, timer_);
    pending().clear();
  }

 private:
  static std::deque<std::function<void()>>& pending() {
    static std::deque<std::function<void()>> actions;
    return actions;
  }
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    if (pending().empty()) return;
    std::function<void()> action = std::move(pending().front());
    pending().pop_front();
    action();
  }
  UINT_PTR timer_;
};

struct BoxSeen {
  int count = 0;
  std::string caption;
  std::string text;
  std::string button;
  bool stopIcon = false;
};

// Watches for message boxes of this thread; notes what each showed and
// presses its OK button.
class BoxWatcher {
 public:
  BoxWatcher() {
    seen() = {};
    timer_ = SetTimer(nullptr, 0, 20, Tick);
  }
  ~BoxWatcher() { KillTimer(nullptr, timer_); }
  const BoxSeen& Seen() const { return seen(); }

 private:
  static BoxSeen& seen() {
    static BoxSeen box;
    return box;
  }
  static BOOL CALLBACK FindBox(HWND window, LPARAM found) {
    char className[16] = {};
    GetClassNameA(window, className, sizeof(className));
    if (IsWindowVisible(window) && lstrcmpA(className, "#32770") == 0) {
      *reinterpret_cast<HWND*>(found) = window;
      return FALSE;
    }
    return TRUE;
  }
  static BOOL CALLBACK ReadChild(HWND child, LPARAM) {
    char className[16] = {};
    char text[512] = {};
    GetClassNameA(child, className, sizeof(className));
    GetWindowTextA(child, text, sizeof(text));
    if (lstrcmpiA(className, "Static") == 0) {
      if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        seen().stopIcon = SendMessageA(child, STM_GETICON, 0, 0) != 0;
      } else if (text[0]) {
        seen().text = text;
      }
    } else if (GetDlgCtrlID(child) == IDOK) {
      seen().button = text;
    }
    return TRUE;
  }
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    HWND box = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), FindBox, reinterpret_cast<LPARAM>(&box));
    if (!box) return;
    char caption[256] = {};
    GetWindowTextA(box, caption, sizeof(caption));
    seen().caption = caption;
    seen().stopIcon = false;
    EnumChildWindows(box, ReadChild, 0);
    ++seen().count;
    PostMessageA(box, WM_COMMAND, IDOK, 0);
  }
  UINT_PTR timer_;
};

// Pumps messages for a while (lets posted calls and timers run).
inline void Pump(int milliseconds) {
  const DWORD end = GetTickCount() + static_cast<DWORD>(milliseconds);
  while (static_cast<LONG>(end - GetTickCount()) > 0) {
    Application().ProcessMessages();
    Sleep(5);
  }
}

}  // namespace qf::test
