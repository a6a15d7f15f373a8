#include "Menus.h"

#include "Application.h"

namespace qf {

TMainMenu::TMainMenu(TForm& form) : form_(form), menu_(CreateMenu()) {
  SetMenu(form.Handle(), menu_);
}

TMenuItem::TMenuItem(TMainMenu& menu, const MenuItemArgs& args)
    : form_(menu.Form()), id_(args.id), subMenu_(CreatePopupMenu()) {
  AppendMenuA(menu.Handle(), MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(subMenu_),
              args.caption.c_str());
  DrawMenuBar(form_.Handle());
}

TMenuItem::TMenuItem(TMenuItem& parent, const MenuItemArgs& args) : form_(parent.form_), id_(args.id) {
  if (args.caption == "-") {
    AppendMenuA(parent.subMenu_, MF_SEPARATOR, 0, nullptr);
  } else {
    AppendMenuA(parent.subMenu_, MF_STRING, static_cast<UINT_PTR>(id_), args.caption.c_str());
    if (id_ != 0) form_.AddCommandTarget(id_, this);
  }
}

TMenuItem::~TMenuItem() {
  if (id_ != 0) form_.RemoveCommandTarget(id_, this);
}

void TMenuItem::Click() {
  if (OnClick) {
    const TNotifyEvent handler = OnClick;
    Application().Dispatch([&] { handler(this); });
  }
}

void TMenuItem::Command(WORD) { Click(); }

}  // namespace qf
