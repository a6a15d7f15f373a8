#include "Form.h"

#include <algorithm>
#include <set>

#include "Application.h"
#include "Control.h"
#include "base/Errors.h"
#include "FormTexts.h"
#include "StdControls.h"

namespace qf {

namespace {

constexpr DWORD kFormStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPSIBLINGS;
constexpr DWORD kFormExStyle = 0;

BOOL CALLBACK CollectEnabledWindow(HWND window, LPARAM param) {
  auto* windows = reinterpret_cast<std::vector<HWND>*>(param);
  if (IsWindowVisible(window) && IsWindowEnabled(window)) windows->push_back(window);
  return TRUE;
}

}  // namespace

LRESULT TCommandTarget::Notify(const NMHDR&) { return 0; }

TForm::TForm(const FormArgs& args)
    : owner_(args.owner),
      clientWidth_(args.clientWidth),
      clientHeight_(args.clientHeight),
      position_(args.position) {
  TApplication& app = Application();
  app.Initialize();
  RegisterWindowClass(args.className, args.iconId);

  RECT frame{0, 0, app.Scale(clientWidth_), app.Scale(clientHeight_)};
  AdjustWindowRectEx(&frame, kFormStyle, FALSE, kFormExStyle);
  HWND ownerWindow = owner_ ? owner_->Handle() : nullptr;
  CreateWindowExA(kFormExStyle, args.className, args.caption.c_str(), kFormStyle, CW_USEDEFAULT,
                  CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top, ownerWindow,
                  nullptr, app.Instance(), this);
  if (!handle_) throw Exception(formtexts::kCannotCreateWindow);
  SendMessageA(handle_, WM_SETFONT, reinterpret_cast<WPARAM>(app.Font()), FALSE);
  app.AddForm(this);
}

TForm::~TForm() {
  DestroyHandle();
  Application().RemoveForm(this);
}

void TForm::RegisterWindowClass(const char* className, int iconId) {
  static std::set<std::string> registered;
  if (!registered.insert(className).second) return;
  HINSTANCE instance = Application().Instance();
  const char* iconName = MAKEINTRESOURCEA(iconId != 0 ? iconId : 1);
  WNDCLASSEXA windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.style = CS_DBLCLKS;
  windowClass.lpfnWndProc = WndProc;
  // The dialog manager keeps its state (focus, default button) here.
  windowClass.cbWndExtra = DLGWINDOWEXTRA;
  windowClass.hInstance = instance;
  windowClass.hIcon = static_cast<HICON>(LoadImageA(instance, iconName, IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
  windowClass.hIconSm = static_cast<HICON>(LoadImageA(instance, iconName, IMAGE_ICON,
                                                      GetSystemMetrics(SM_CXSMICON),
                                                      GetSystemMetrics(SM_CYSMICON), 0));
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = className;
  RegisterClassExA(&windowClass);
}

LRESULT CALLBACK TForm::WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  TForm* form;
  if (message == WM_NCCREATE) {
    form = static_cast<TForm*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    form->handle_ = window;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
  } else {
    form = reinterpret_cast<TForm*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  }
  if (!form) return DefDlgProcA(window, message, wParam, lParam);

  LRESULT result = 0;
  try {
    result = form->HandleMessage(message, wParam, lParam);
  } catch (const std::exception& error) {
    Application().ShowException(error);
  } catch (...) {
  }
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    form->handle_ = nullptr;
  }
  return result;
}

LRESULT TForm::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      OnCommand(wParam, lParam);
      return 0;
    case WM_NOTIFY:
      return OnNotify(*reinterpret_cast<const NMHDR*>(lParam));
    case WM_CLOSE:
      OnClose();
      return 0;
    case WM_ACTIVATEAPP:
      Application().NotifyActivateApp(wParam != FALSE);
      break;
    case WM_DESTROY:
      OnDestroyMessage();
      break;
    case WM_NCDESTROY: {
      const LRESULT result = DefaultHandler(message, wParam, lParam);
      OnNcDestroy();
      return result;
    }
    default:
      break;
  }
  return DefaultHandler(message, wParam, lParam);
}

LRESULT TForm::DefaultHandler(UINT message, WPARAM wParam, LPARAM lParam) {
  return DefDlgProcA(handle_, message, wParam, lParam);
}

void TForm::OnCommand(WPARAM wParam, LPARAM lParam) {
  const int id = LOWORD(wParam);
  const auto target = targets_.find(id);
  if (target != targets_.end()) {
    target->second->Command(HIWORD(wParam));
    return;
  }
  // Esc reaches the form as IDCANCEL (no control carries that identifier).
  if (id == IDCANCEL && lParam == 0 && cancelButton_ && cancelButton_->Enabled()) {
    cancelButton_->Click();
  }
}

LRESULT TForm::OnNotify(const NMHDR& header) {
  const auto target = targets_.find(static_cast<int>(header.idFrom));
  return target != targets_.end() ? target->second->Notify(header) : 0;
}

void TForm::OnClose() {
  if (modal_) {
    SetModalResult(mrCancel);
  } else if (Application().MainForm() == this) {
    DestroyWindow(handle_);
  } else {
    Hide();
  }
}

void TForm::OnDestroyMessage() {
  if (OnDestroy) {
    const TNotifyEvent handler = OnDestroy;
    Application().Dispatch([&] { handler(this); });
  }
  if (Application().MainForm() == this) PostQuitMessage(0);
}

void TForm::OnNcDestroy() {
  for (TControl* control : controls_) control->ForgetHandle();
}

void TForm::DestroyHandle() {
  if (handle_) DestroyWindow(handle_);
}

std::string TForm::Caption() const {
  if (!handle_) return {};
  std::string text(static_cast<size_t>(GetWindowTextLengthA(handle_)) + 1, '\0');
  text.resize(static_cast<size_t>(GetWindowTextA(handle_, &text[0], static_cast<int>(text.size()))));
  return text;
}

void TForm::SetCaption(const std::string& caption) {
  if (handle_) SetWindowTextA(handle_, caption.c_str());
}

void TForm::FitClientArea() {
  TApplication& app = Application();
  const int wantedWidth = app.Scale(clientWidth_);
  const int wantedHeight = app.Scale(clientHeight_);
  RECT frame{0, 0, wantedWidth, wantedHeight};
  AdjustWindowRectEx(&frame, kFormStyle, GetMenu(handle_) != nullptr, kFormExStyle);
  SetWindowPos(handle_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  // A menu bar that wraps, or a frame the system draws differently, shows up
  // only now: correct by what is missing.
  RECT client;
  GetClientRect(handle_, &client);
  const int dx = wantedWidth - (client.right - client.left);
  const int dy = wantedHeight - (client.bottom - client.top);
  if (dx != 0 || dy != 0) {
    RECT window;
    GetWindowRect(handle_, &window);
    SetWindowPos(handle_, nullptr, 0, 0, window.right - window.left + dx,
                 window.bottom - window.top + dy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

void TForm::PlaceOnScreen() {
  FitClientArea();
  RECT window;
  GetWindowRect(handle_, &window);
  const int width = window.right - window.left;
  const int height = window.bottom - window.top;

  RECT area{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  RECT centreOf = area;
  if (position_ == TPosition::OwnerFormCenter && owner_ && owner_->Handle() &&
      IsWindowVisible(owner_->Handle())) {
    GetWindowRect(owner_->Handle(), &centreOf);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    if (GetMonitorInfoA(MonitorFromWindow(owner_->Handle(), MONITOR_DEFAULTTONEAREST), &monitor)) {
      area = monitor.rcWork;
    }
  }
  int left = centreOf.left + ((centreOf.right - centreOf.left) - width) / 2;
  int top = centreOf.top + ((centreOf.bottom - centreOf.top) - height) / 2;
  // Keep the whole window (at least its title bar) on the screen.
  left = std::max<int>(area.left, std::min<int>(left, area.right - width));
  top = std::max<int>(area.top, std::min<int>(top, area.bottom - height));
  SetWindowPos(handle_, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TForm::Show() {
  if (!handle_) return;
  if (!IsWindowVisible(handle_)) PlaceOnScreen();
  ShowWindow(handle_, SW_SHOW);
  SetForegroundWindow(handle_);
}

void TForm::Hide() {
  if (handle_) ShowWindow(handle_, SW_HIDE);
}

bool TForm::Visible() const { return handle_ && IsWindowVisible(handle_); }

void TForm::Close() {
  if (handle_) SendMessageA(handle_, WM_CLOSE, 0, 0);
}

void TForm::SetModalResult(int result) {
  modalResult_ = result;
  // Wakes the modal loop, which looks at the result after every message.
  if (modal_ && handle_) PostMessageA(handle_, WM_NULL, 0, 0);
}

int TForm::ShowModal() {
  if (!handle_ || modal_ || Visible()) throw Exception(formtexts::kCannotShowModal);
  HWND previousActive = GetActiveWindow();
  std::vector<HWND> disabled;
  EnumThreadWindows(GetCurrentThreadId(), CollectEnabledWindow, reinterpret_cast<LPARAM>(&disabled));
  for (HWND window : disabled) EnableWindow(window, FALSE);

  modal_ = true;
  modalResult_ = mrNone;
  Show();
  MSG message;
  while (modalResult_ == mrNone && handle_) {
    const BOOL got = GetMessageA(&message, nullptr, 0, 0);
    if (got == 0) {  // the program is ending: leave the quit for the outer loop
      PostQuitMessage(static_cast<int>(message.wParam));
      if (modalResult_ == mrNone) modalResult_ = mrCancel;
      break;
    }
    if (got == -1) break;
    Application().ProcessMessage(message);
  }
  modal_ = false;

  // The owner comes back before this window goes, so that activation returns to it.
  for (HWND window : disabled) {
    if (IsWindow(window)) EnableWindow(window, TRUE);
  }
  Hide();
  if (previousActive && IsWindow(previousActive)) SetActiveWindow(previousActive);
  return modalResult_ == mrNone ? mrCancel : modalResult_;
}

void TForm::SetDefaultButton(TButton* button) {
  SendMessageA(handle_, DM_SETDEFID, button ? static_cast<WPARAM>(button->Id()) : 0, 0);
}

void TForm::SetCancelButton(TButton* button) { cancelButton_ = button; }

void TForm::AddCommandTarget(int id, TCommandTarget* target) { targets_[id] = target; }

void TForm::RemoveCommandTarget(int id, TCommandTarget* target) {
  const auto found = targets_.find(id);
  if (found != targets_.end() && found->second == target) targets_.erase(found);
}

void TForm::AddControl(TControl* control) { controls_.push_back(control); }

void TForm::RemoveControl(TControl* control) {
  controls_.erase(std::remove(controls_.begin(), controls_.end(), control), controls_.end());
  if (cancelButton_ && control == static_cast<TControl*>(cancelButton_)) cancelButton_ = nullptr;
}

}  // namespace qf
