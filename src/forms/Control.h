// The base of every control: one child window of the form, placed in the form
// or in a group box, with the framework's font. Its identifier routes the
// form's WM_COMMAND and WM_NOTIFY messages to it. Tab order is creation order;
// controls that take the focus are tab stops.
#pragma once

#include <windows.h>

#include <string>

#include "Component.h"
#include "Form.h"

namespace qf {

struct ControlArgs {
  int id = 0;
  Bounds bounds;      // relative to the parent, at 96 DPI
  std::string text;
};

class TControl : public TComponent, public TCommandTarget {
 public:
  ~TControl() override;

  HWND Handle() const { return handle_; }
  int Id() const { return id_; }
  TForm& Form() const { return form_; }
  // Place and size in the form's client area, at 96 DPI.
  const Bounds& FormBounds() const { return bounds_; }

  std::string Text() const;
  void SetText(const std::string& text);
  bool Enabled() const;
  void SetEnabled(bool enabled);
  bool Visible() const;
  void SetVisible(bool visible);
  void SetFocus();
  bool Focused() const;

  // TCommandTarget: nothing by default.
  void Command(WORD notifyCode) override;

  // The form's window is gone, and with it this control's.
  void ForgetHandle() { handle_ = nullptr; }

 protected:
  TControl(TContainer& parent, const ControlArgs& args, const char* windowClass, DWORD style,
           DWORD exStyle = 0);

  // Moves and sizes the window to bounds given in the form's client area.
  void SetFormBounds(const Bounds& bounds);

 private:
  TForm& form_;
  int id_;
  Bounds bounds_;
  HWND handle_ = nullptr;
};

}  // namespace qf
