#include "Application.h"

#include <commctrl.h>
#include <ole2.h>

#include <algorithm>
#include <new>

#include "AppEvents.h"
#include "Form.h"
#include "FormTexts.h"
#include "MessageBoxes.h"

namespace qf {

namespace {

constexpr const char* kCallWindowClass = "QfPostedCalls";
constexpr UINT kRunPostedCalls = WM_APP + 1;

// The text the error box shows for an error (std::bad_alloc has none for users).
const char* ErrorText(const std::exception& error) {
  return dynamic_cast<const std::bad_alloc*>(&error) ? formtexts::kOutOfMemory : error.what();
}

}  // namespace

TApplication& Application() {
  static TApplication application;
  return application;
}

TApplication::~TApplication() {
  if (callWindow_) DestroyWindow(callWindow_);
}

HINSTANCE TApplication::Instance() const { return GetModuleHandleA(nullptr); }

void TApplication::Initialize() {
  if (initialized_) return;
  initialized_ = true;

  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES | ICC_TREEVIEW_CLASSES};
  InitCommonControlsEx(&controls);
  // Pictures are decoded through OLE; the result is ignored, as OLE may be
  // initialized already.
  OleInitialize(nullptr);

  WNDCLASSEXA windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = CallWindowProc;
  windowClass.hInstance = Instance();
  windowClass.lpszClassName = kCallWindowClass;
  RegisterClassExA(&windowClass);
  callWindow_ = CreateWindowExA(0, kCallWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                Instance(), nullptr);
}

HFONT TApplication::Font() {
  if (!font_) {
    font_.reset(CreateFontA(-Scale(11), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                            OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                            DEFAULT_PITCH | FF_DONTCARE, "MS Sans Serif"));
  }
  return font_.get();
}

int TApplication::Scale(int pixels) const {
  if (dpi_ == 0) {
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    dpi_ = dpi > 0 ? dpi : 96;
  }
  return dpi_ == 96 ? pixels : MulDiv(pixels, dpi_, 96);
}

void TApplication::Dispatch(const std::function<void()>& handler) noexcept {
  try {
    handler();
  } catch (const std::exception& error) {
    ShowException(error);
  } catch (...) {
    ShowErrorBox(formtexts::kUnknownError);
  }
}

void TApplication::ShowException(const std::exception& error) noexcept {
  try {
    ShowErrorBox(ErrorText(error));
  } catch (...) {
    // Nothing is left to tell the user with.
  }
}

void TApplication::Post(std::function<void()> call) {
  posted_.push_back(std::move(call));
  if (callWindow_) {
    PostMessageA(callWindow_, kRunPostedCalls, 0, 0);
  }
}

void TApplication::ShowExceptionLater(const std::exception& error) {
  Post([message = std::string(ErrorText(error))] { ShowErrorBox(message); });
}

LRESULT CALLBACK TApplication::CallWindowProc(HWND window, UINT message, WPARAM wParam,
                                              LPARAM lParam) {
  if (message == kRunPostedCalls) {
    Application().RunPostedCalls();
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

void TApplication::RunPostedCalls() {
  // One call per posted message; a call may post more, or open a modal box
  // whose loop delivers the next one.
  if (posted_.empty()) return;
  std::function<void()> call = std::move(posted_.front());
  posted_.pop_front();
  Dispatch(call);
}

void TApplication::Run(TForm& mainForm) {
  Initialize();
  if (!mainForm_) mainForm_ = &mainForm;
  mainForm.Show();
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    ProcessMessage(message);
  }
}

void TApplication::ProcessMessage(MSG& message) {
  HWND root = message.hwnd ? GetAncestor(message.hwnd, GA_ROOT) : nullptr;
  if (root && FindForm(root) && IsDialogMessageA(root, &message)) return;
  TranslateMessage(&message);
  DispatchMessageA(&message);
}

void TApplication::ProcessMessages() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(message.wParam));
      return;
    }
    ProcessMessage(message);
  }
}

void TApplication::AddForm(TForm* form) {
  forms_.push_back(form);
  if (!mainForm_) mainForm_ = form;
}

void TApplication::RemoveForm(TForm* form) {
  forms_.erase(std::remove(forms_.begin(), forms_.end(), form), forms_.end());
  if (mainForm_ == form) mainForm_ = nullptr;
}

TForm* TApplication::FindForm(HWND window) const {
  for (TForm* form : forms_) {
    if (form->Handle() == window) return form;
  }
  return nullptr;
}

void TApplication::NotifyActivateApp(bool active) {
  // Every top-level window of the program hears of the switch; only the
  // change itself counts.
  if (active == active_) return;
  active_ = active;
  if (!active) return;
  const std::vector<TAppEvents*> listeners = appEvents_;
  for (TAppEvents* events : listeners) {
    if (std::find(appEvents_.begin(), appEvents_.end(), events) != appEvents_.end()) {
      events->FireActivate();
    }
  }
}

void TApplication::AddAppEvents(TAppEvents* events) { appEvents_.push_back(events); }

void TApplication::RemoveAppEvents(TAppEvents* events) {
  appEvents_.erase(std::remove(appEvents_.begin(), appEvents_.end(), events), appEvents_.end());
}

}  // namespace qf
