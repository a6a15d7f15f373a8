#include "MessageBoxes.h"

#include <windows.h>

#include "Application.h"
#include "FormHandles.h"
#include "FormTexts.h"

namespace qf {

namespace {

// Gives the box's button the framework's own caption, whatever the language
// of the system's message boxes.
LRESULT CALLBACK CaptionHook(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_ACTIVATE) {
    HWND box = reinterpret_cast<HWND>(wParam);
    char className[16] = {};
    GetClassNameA(box, className, sizeof(className));
    if (lstrcmpA(className, "#32770") == 0) {
      if (HWND ok = GetDlgItem(box, IDOK)) SetWindowTextA(ok, formtexts::kOk);
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

void ShowBox(const std::string& text, UINT icon) {
  Application().Initialize();
  UniqueHook hook(SetWindowsHookExA(WH_CBT, CaptionHook, nullptr, GetCurrentThreadId()));
  // No owner: the box is centred on the screen; task-modal: every window of
  // the program is disabled until it is closed.
  MessageBoxA(nullptr, text.c_str(), Application().Title().c_str(),
              MB_OK | icon | MB_TASKMODAL | MB_SETFOREGROUND);
}

}  // namespace

void ShowMessage(const std::string& text) { ShowBox(text, 0); }

void ShowErrorBox(const std::string& message) { ShowBox(ErrorBoxText(message), MB_ICONSTOP); }

std::string ErrorBoxText(std::string_view message) {
  std::string text(message);
  if (!text.empty() && static_cast<unsigned char>(text.back()) > static_cast<unsigned char>('.')) {
    text += '.';
  }
  return text;
}

}  // namespace qf
