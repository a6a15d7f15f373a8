// The standard controls: group box, label, one-line edit, push button (with an
// optional image beside its caption) and the editable drop-down combo box.
#pragma once

#include <string>

#include "Control.h"
#include "FormHandles.h"

namespace qf {

// A frame with a caption; controls created with it as parent are placed
// relative to its top-left corner.
class TGroupBox : public TControl, public TContainer {
 public:
  TGroupBox(TContainer& parent, const ControlArgs& args);

  TForm& ParentForm() override { return Form(); }
  POINT Origin() const override { return {FormBounds().left, FormBounds().top}; }
};

struct LabelArgs {
  int id = 0;
  Bounds bounds;            // a width or height of 0 sizes the label to its text
  std::string text;
  bool wordWrap = true;     // long text continues on the next line
  bool showAccelChar = true;  // "&" underlines the next character
};

class TLabel : public TControl {
 public:
  TLabel(TContainer& parent, const LabelArgs& args);
  // Sets the caption; a label sized to its text is resized to the new text.
  void SetCaption(const std::string& text);

 private:
  void FitToText();
  bool autoSize_;
};

// A one-line edit box with a sunken border.
class TEdit : public TControl {
 public:
  TEdit(TContainer& parent, const ControlArgs& args);
};

struct ButtonArgs {
  int id = 0;
  Bounds bounds;
  std::string text;
  int iconId = 0;            // icon resource shown left of the caption; 0: none
  int modalResult = mrNone;  // set on the form when clicked
};

class TButton : public TControl {
 public:
  TButton(TContainer& parent, const ButtonArgs& args);

  TNotifyEvent OnClick;
  int ModalResult = mrNone;

  // What a click does: sets the form's modal result (if any), then runs
  // OnClick through the application's handler dispatch.
  void Click();
  // True when the button shows an image beside its caption.
  bool HasImage() const { return static_cast<bool>(images_); }

  void Command(WORD notifyCode) override;

 private:
  void SetImage(int iconId);
  UniqueImageList images_;
};

// A drop-down list whose text can also be typed.
class TComboBox : public TControl {
 public:
  // bounds.height is the height of the closed box.
  TComboBox(TContainer& parent, const ControlArgs& args);

  void Clear();
  void Add(const std::string& item);
  int Count() const;
  // The item at index; EListError outside the list.
  std::string Item(int index) const;
  // The selected item, -1 for none.
  int ItemIndex() const;
  // Selects the item (its text shows in the box); -1 clears the selection.
  // EListError outside the list.
  void SetItemIndex(int index);
};

}  // namespace qf
