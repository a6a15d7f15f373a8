#include "StdControls.h"

#include <commctrl.h>

#include "Application.h"
#include "base/Errors.h"

namespace qf {

namespace {

constexpr int kComboDropDownCount = 8;

}  // namespace

TGroupBox::TGroupBox(TContainer& parent, const ControlArgs& args)
    : TControl(parent, args, WC_BUTTONA, BS_GROUPBOX) {}

TLabel::TLabel(TContainer& parent, const LabelArgs& args)
    : TControl(parent, {args.id, args.bounds, args.text}, WC_STATICA,
               (args.wordWrap ? SS_LEFT : SS_LEFTNOWORDWRAP) | (args.showAccelChar ? 0 : SS_NOPREFIX)),
      autoSize_(args.bounds.width == 0 || args.bounds.height == 0) {
  if (autoSize_) FitToText();
}

void TLabel::SetCaption(const std::string& text) {
  SetText(text);
  if (autoSize_) FitToText();
}

void TLabel::FitToText() {
  HDC dc = GetDC(Handle());
  HGDIOBJ oldFont = SelectObject(dc, Application().Font());
  const std::string text = Text();
  RECT extent{0, 0, 0, 0};
  DrawTextA(dc, text.empty() ? " " : text.c_str(), -1, &extent, DT_CALCRECT | DT_SINGLELINE);
  SelectObject(dc, oldFont);
  ReleaseDC(Handle(), dc);
  // Measured in screen pixels; kept at 96 DPI like every other bound.
  const int dpiScale = Application().Scale(96);
  Bounds bounds = FormBounds();
  bounds.width = MulDiv(extent.right - extent.left, 96, dpiScale);
  bounds.height = MulDiv(extent.bottom - extent.top, 96, dpiScale);
  SetFormBounds(bounds);
}

TEdit::TEdit(TContainer& parent, const ControlArgs& args)
    : TControl(parent, args, WC_EDITA, WS_TABSTOP | WS_GROUP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE) {}

TButton::TButton(TContainer& parent, const ButtonArgs& args)
    : TControl(parent, {args.id, args.bounds, args.text}, WC_BUTTONA,
               WS_TABSTOP | WS_GROUP | BS_PUSHBUTTON),
      ModalResult(args.modalResult) {
  if (args.iconId != 0) SetImage(args.iconId);
}

void TButton::SetImage(int iconId) {
  TApplication& app = Application();
  const int size = app.Scale(16);
  UniqueIcon icon(static_cast<HICON>(
      LoadImageA(app.Instance(), MAKEINTRESOURCEA(iconId), IMAGE_ICON, size, size, 0)));
  if (!icon) return;
  UniqueImageList images(ImageList_Create(size, size, ILC_COLOR32 | ILC_MASK, 1, 0));
  if (!images || ImageList_AddIcon(images.get(), icon.get()) < 0) return;
  // The image stands left of the caption, a few pixels from the edge.
  BUTTON_IMAGELIST list{images.get(), {app.Scale(4), 0, 0, 0}, BUTTON_IMAGELIST_ALIGN_LEFT};
  if (SendMessageA(Handle(), BCM_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(&list))) {
    images_ = std::move(images);
  }
}

void TButton::Click() {
  if (ModalResult != mrNone) Form().SetModalResult(ModalResult);
  if (OnClick) {
    const TNotifyEvent handler = OnClick;
    Application().Dispatch([&] { handler(this); });
  }
}

void TButton::Command(WORD notifyCode) {
  if (notifyCode == BN_CLICKED) Click();
}

TComboBox::TComboBox(TContainer& parent, const ControlArgs& args)
    : TControl(parent,
               {args.id,
                // The window's height includes the list that drops down.
                {args.bounds.left, args.bounds.top, args.bounds.width,
                 args.bounds.height + kComboDropDownCount * 14 + 2},
                args.text},
               WC_COMBOBOXA, WS_TABSTOP | WS_GROUP | WS_VSCROLL | CBS_DROPDOWN | CBS_AUTOHSCROLL) {
  // The closed box is as high as asked: the selection field plus its border.
  const int fieldHeight = Application().Scale(args.bounds.height) - 6;
  if (fieldHeight > 0) SendMessageA(Handle(), CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), fieldHeight);
}

void TComboBox::Clear() { SendMessageA(Handle(), CB_RESETCONTENT, 0, 0); }

void TComboBox::Add(const std::string& item) {
  SendMessageA(Handle(), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
}

int TComboBox::Count() const {
  const LRESULT count = SendMessageA(Handle(), CB_GETCOUNT, 0, 0);
  return count < 0 ? 0 : static_cast<int>(count);
}

std::string TComboBox::Item(int index) const {
  if (index < 0 || index >= Count()) throw EListError(index);
  const LRESULT length = SendMessageA(Handle(), CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  std::string text(static_cast<size_t>(length < 0 ? 0 : length) + 1, '\0');
  const LRESULT copied =
      SendMessageA(Handle(), CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&text[0]));
  text.resize(copied < 0 ? 0 : static_cast<size_t>(copied));
  return text;
}

int TComboBox::ItemIndex() const {
  return static_cast<int>(SendMessageA(Handle(), CB_GETCURSEL, 0, 0));
}

void TComboBox::SetItemIndex(int index) {
  if (index < -1 || index >= Count()) throw EListError(index);
  SendMessageA(Handle(), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

}  // namespace qf
