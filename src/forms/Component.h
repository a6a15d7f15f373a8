// The few types every part of the window framework shares.
#pragma once

#include <functional>

namespace qf {

// Base of everything a form holds: controls, menu items, dialogs, hooks.
// Components are owned by exactly one form (as its members) and never copied.
class TComponent {
 public:
  virtual ~TComponent() = default;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

 protected:
  TComponent() = default;
};

// An event handler: takes the component that raised the event.
using TNotifyEvent = std::function<void(TComponent* sender)>;

// Binds a form's handler method to an event: OnClick = Handler(this, &TMyForm::okClick).
template <typename Form>
TNotifyEvent Handler(Form* form, void (Form::*method)(TComponent*)) {
  return [form, method](TComponent* sender) { (form->*method)(sender); };
}

// Place and size in pixels at 96 DPI, relative to the parent (form or group box).
struct Bounds {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
};

// How a modal form was closed.
enum TModalResult : int { mrNone = 0, mrOk = 1, mrCancel = 2 };

}  // namespace qf
