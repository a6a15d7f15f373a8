// The form: a top-level window with a fixed single border, a system menu and a
// minimise box, whose client area is given in pixels. Controls are created as
// members of a derived form and placed inside the form or a group box.
//
// One static window procedure finds the form object in GWLP_USERDATA and hands
// each message to the form, which routes commands and notifications to the
// control (or menu item) of that identifier. The window class keeps the
// dialog manager's extra bytes and falls back on DefDlgProc, so Tab, Enter
// (the default button) and Esc (the cancel button) behave as in a dialog.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "Component.h"

namespace qf {

class TButton;
class TControl;
class TForm;

// Receives the WM_COMMAND and WM_NOTIFY messages of one identifier.
class TCommandTarget {
 public:
  virtual void Command(WORD notifyCode) = 0;
  virtual LRESULT Notify(const NMHDR& header);

 protected:
  ~TCommandTarget() = default;
};

// Something controls are placed in: a form or a group box. Controls are all
// windows of the form itself; a group box only moves the origin of its content.
class TContainer {
 public:
  virtual TForm& ParentForm() = 0;
  // Where this container's (0, 0) lies in the form's client area, at 96 DPI.
  virtual POINT Origin() const = 0;

 protected:
  ~TContainer() = default;
};

enum class TPosition { ScreenCenter, OwnerFormCenter };

struct FormArgs {
  const char* className = "TForm";  // window class; one per form class
  std::string caption;
  int clientWidth = 0;               // client area at 96 DPI
  int clientHeight = 0;
  TPosition position = TPosition::ScreenCenter;
  TForm* owner = nullptr;            // stays above it; centred over it with OwnerFormCenter
  int iconId = 0;                    // icon resource; 0: the program's first icon
};

class TForm : public TComponent, public TContainer {
 public:
  explicit TForm(const FormArgs& args);
  ~TForm() override;

  HWND Handle() const { return handle_; }
  TForm* Owner() const { return owner_; }

  std::string Caption() const;
  void SetCaption(const std::string& caption);

  // Shows the form (centred as its position says), not modally.
  void Show();
  void Hide();
  bool Visible() const;
  // Asks the form to close: a modal form ends with mrCancel, the main form is
  // destroyed (which ends the program), any other form is hidden.
  void Close();

  // Shows the form modally: the program's other windows are disabled and a
  // nested message loop runs until ModalResult is set (a button's modal
  // result, SetModalResult or the close box). Returns that result.
  int ShowModal();
  int ModalResult() const { return modalResult_; }
  void SetModalResult(int result);

  // Enter clicks the default button (unless a button has the focus), Esc the
  // cancel button.
  void SetDefaultButton(TButton* button);
  void SetCancelButton(TButton* button);

  // Runs while the window is being destroyed (its handle still valid).
  TNotifyEvent OnDestroy;

  // TContainer
  TForm& ParentForm() override { return *this; }
  POINT Origin() const override { return {0, 0}; }

  // Used by the controls and menu items of this form.
  void AddCommandTarget(int id, TCommandTarget* target);
  void RemoveCommandTarget(int id, TCommandTarget* target);
  void AddControl(TControl* control);
  void RemoveControl(TControl* control);

 protected:
  // Destroys the window now (OnDestroy runs). A derived form whose OnDestroy
  // uses its own members calls this from its destructor.
  void DestroyHandle();

  // The form's message handler; unhandled messages go to DefaultHandler.
  virtual LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT DefaultHandler(UINT message, WPARAM wParam, LPARAM lParam);

 private:
  static LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static void RegisterWindowClass(const char* className, int iconId);

  void OnCommand(WPARAM wParam, LPARAM lParam);
  LRESULT OnNotify(const NMHDR& header);
  void OnClose();
  void OnDestroyMessage();
  void OnNcDestroy();

  void FitClientArea();
  void PlaceOnScreen();

  HWND handle_ = nullptr;
  TForm* owner_;
  int clientWidth_;
  int clientHeight_;
  TPosition position_;
  bool modal_ = false;
  int modalResult_ = mrNone;
  TButton* cancelButton_ = nullptr;
  std::map<int, TCommandTarget*> targets_;
  std::vector<TControl*> controls_;
};

}  // namespace qf
