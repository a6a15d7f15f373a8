// The common open-file dialog.
#pragma once

#include <string>

#include "Component.h"

namespace qf {

class TForm;

struct OpenDialogArgs {
  // Pairs of label and pattern separated by "|": "MAP File|*.map".
  std::string filter;
};

class TOpenDialog : public TComponent {
 public:
  TOpenDialog(TForm& owner, const OpenDialogArgs& args);

  // Runs the dialog over the program's active window (the owning form when
  // none is active). True when the user chose a file; FileName then holds its
  // full path. The previous choice is offered again.
  bool Execute();
  const std::string& FileName() const { return fileName_; }
  void SetFileName(const std::string& fileName) { fileName_ = fileName; }

  // "MAP File|*.map" -> "MAP File\0*.map\0\0", as the system wants it.
  static std::string FilterToSystem(const std::string& filter);

 private:
  TForm& owner_;
  std::string filter_;
  std::string fileName_;
};

}  // namespace qf
