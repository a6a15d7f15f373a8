// The application object: the title shown on every message box, the one font
// of all controls, the message loop, the activation event and the single place
// through which every event handler runs.
#pragma once

#include <windows.h>

#include <deque>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "FormHandles.h"

namespace qf {

class TForm;
class TAppEvents;

class TApplication {
 public:
  TApplication(const TApplication&) = delete;
  TApplication& operator=(const TApplication&) = delete;

  // Common controls, OLE (pictures) and the window that runs posted calls.
  // Safe to call more than once.
  void Initialize();

  const std::string& Title() const { return title_; }
  void SetTitle(const std::string& title) { title_ = title; }
  HINSTANCE Instance() const;

  // MS Sans Serif, 8 points, scaled to the screen; shared by every control.
  HFONT Font();
  // Pixels at 96 DPI to pixels of the screen.
  int Scale(int pixels) const;

  // Runs an event handler. An error escaping it ends the user's action and is
  // shown in the error box; nothing leaves this call.
  void Dispatch(const std::function<void()>& handler) noexcept;
  // Shows an error's message in the error box.
  void ShowException(const std::exception& error) noexcept;
  // Queues a call for the message loop; it runs through Dispatch once the
  // current message (for example a drop from another program) has returned.
  void Post(std::function<void()> call);
  // Shows the error box from the message loop, after the current call returns.
  void ShowExceptionLater(const std::exception& error);

  // Shows the main form and runs the message loop until it is destroyed.
  void Run(TForm& mainForm);
  TForm* MainForm() const { return mainForm_; }
  void SetMainForm(TForm* form) { mainForm_ = form; }
  // Gives one message its keyboard navigation (Tab, Enter, Esc) and dispatches it.
  void ProcessMessage(MSG& message);
  // Handles every message already waiting, then returns.
  void ProcessMessages();

  // Called by the forms.
  void AddForm(TForm* form);
  void RemoveForm(TForm* form);
  TForm* FindForm(HWND window) const;
  void NotifyActivateApp(bool active);
  void AddAppEvents(TAppEvents* events);
  void RemoveAppEvents(TAppEvents* events);

 private:
  friend TApplication& Application();
  TApplication() = default;
  ~TApplication();

  static LRESULT CALLBACK CallWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void RunPostedCalls();

  std::string title_;
  bool initialized_ = false;
  bool active_ = false;
  mutable int dpi_ = 0;  // read from the screen on first use
  UniqueFont font_;
  HWND callWindow_ = nullptr;
  TForm* mainForm_ = nullptr;
  std::vector<TForm*> forms_;
  std::vector<TAppEvents*> appEvents_;
  std::deque<std::function<void()>> posted_;
};

// The one application object of the program.
TApplication& Application();

}  // namespace qf
