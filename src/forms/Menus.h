// The form's main menu: a menu bar of drop-down items, each holding command
// items and separators. Items are members of the form, created in menu order.
#pragma once

#include <windows.h>

#include <string>

#include "Component.h"
#include "Form.h"

namespace qf {

class TMainMenu : public TComponent {
 public:
  // Becomes the form's menu bar (owned by the form's window from then on).
  explicit TMainMenu(TForm& form);
  HMENU Handle() const { return menu_; }
  TForm& Form() const { return form_; }

 private:
  TForm& form_;
  HMENU menu_;
};

struct MenuItemArgs {
  int id = 0;            // command identifier; 0 for drop-downs and separators
  std::string caption;   // "-" makes a separator; "&" underlines the next letter
};

class TMenuItem : public TComponent, public TCommandTarget {
 public:
  // A drop-down on the menu bar.
  TMenuItem(TMainMenu& menu, const MenuItemArgs& args);
  // A command or separator inside a drop-down.
  TMenuItem(TMenuItem& parent, const MenuItemArgs& args);
  ~TMenuItem() override;

  int Id() const { return id_; }
  TNotifyEvent OnClick;
  // Runs OnClick through the application's handler dispatch.
  void Click();

  void Command(WORD notifyCode) override;

 private:
  TForm& form_;
  int id_;
  HMENU subMenu_ = nullptr;
};

}  // namespace qf
