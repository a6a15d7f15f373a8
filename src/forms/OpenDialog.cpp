#include "OpenDialog.h"

#include <windows.h>
#include <commdlg.h>

#include <vector>

#include "Form.h"

namespace qf {

namespace {

constexpr DWORD kFileNameCapacity = 32 * 1024;

}  // namespace

TOpenDialog::TOpenDialog(TForm& owner, const OpenDialogArgs& args)
    : owner_(owner), filter_(FilterToSystem(args.filter)) {}

std::string TOpenDialog::FilterToSystem(const std::string& filter) {
  std::string result = filter;
  for (char& c : result) {
    if (c == '|') c = '\0';
  }
  result.push_back('\0');
  result.push_back('\0');
  return result;
}

bool TOpenDialog::Execute() {
  std::vector<char> buffer(kFileNameCapacity, '\0');
  fileName_.copy(buffer.data(), std::min<size_t>(fileName_.size(), buffer.size() - 1));

  HWND ownerWindow = GetActiveWindow();
  if (!ownerWindow) ownerWindow = owner_.Handle();

  OPENFILENAMEA dialog{};
  dialog.lStructSize = sizeof(dialog);
  dialog.hwndOwner = ownerWindow;
  dialog.lpstrFilter = filter_.c_str();
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = buffer.data();
  dialog.nMaxFile = kFileNameCapacity;
  dialog.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING | OFN_NOCHANGEDIR;
  if (!GetOpenFileNameA(&dialog)) return false;
  fileName_ = buffer.data();
  return true;
}

}  // namespace qf
