#include "Control.h"

#include "Application.h"
#include "base/Errors.h"
#include "FormTexts.h"

namespace qf {

TControl::TControl(TContainer& parent, const ControlArgs& args, const char* windowClass,
                   DWORD style, DWORD exStyle)
    : form_(parent.ParentForm()), id_(args.id) {
  const POINT origin = parent.Origin();
  bounds_ = {origin.x + args.bounds.left, origin.y + args.bounds.top, args.bounds.width,
             args.bounds.height};
  TApplication& app = Application();
  handle_ = CreateWindowExA(exStyle, windowClass, args.text.c_str(), WS_CHILD | WS_VISIBLE | style,
                            app.Scale(bounds_.left), app.Scale(bounds_.top), app.Scale(bounds_.width),
                            app.Scale(bounds_.height), form_.Handle(),
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id_)), app.Instance(), nullptr);
  if (!handle_) throw Exception(formtexts::kCannotCreateWindow);
  SendMessageA(handle_, WM_SETFONT, reinterpret_cast<WPARAM>(app.Font()), FALSE);
  form_.AddControl(this);
  if (id_ != 0) form_.AddCommandTarget(id_, this);
}

TControl::~TControl() {
  if (id_ != 0) form_.RemoveCommandTarget(id_, this);
  form_.RemoveControl(this);
  if (handle_) DestroyWindow(handle_);
}

void TControl::SetFormBounds(const Bounds& bounds) {
  bounds_ = bounds;
  TApplication& app = Application();
  if (handle_) {
    SetWindowPos(handle_, nullptr, app.Scale(bounds.left), app.Scale(bounds.top),
                 app.Scale(bounds.width), app.Scale(bounds.height), SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

std::string TControl::Text() const {
  if (!handle_) return {};
  std::string text(static_cast<size_t>(GetWindowTextLengthA(handle_)) + 1, '\0');
  text.resize(static_cast<size_t>(GetWindowTextA(handle_, &text[0], static_cast<int>(text.size()))));
  return text;
}

void TControl::SetText(const std::string& text) {
  if (handle_) SetWindowTextA(handle_, text.c_str());
}

bool TControl::Enabled() const { return handle_ && IsWindowEnabled(handle_); }

void TControl::SetEnabled(bool enabled) {
  if (handle_) EnableWindow(handle_, enabled);
}

bool TControl::Visible() const { return handle_ && IsWindowVisible(handle_); }

void TControl::SetVisible(bool visible) {
  if (handle_) ShowWindow(handle_, visible ? SW_SHOW : SW_HIDE);
}

void TControl::SetFocus() {
  // Through the dialog manager, so that the default button follows the focus.
  if (handle_) SendMessageA(form_.Handle(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(handle_), TRUE);
}

bool TControl::Focused() const { return handle_ && GetFocus() == handle_; }

void TControl::Command(WORD) {}

}  // namespace qf
