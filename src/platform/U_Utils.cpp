#include "U_Utils.h"

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

#include "U_UnicodeUtils.h"
#include "UniqueHandle.h"

namespace qf {

std::wstring GetFileVersionString(const std::wstring& fileName) {
  if (!WideFileExists(fileName)) return L"File not found";
  const std::wstring failed = L"Unable to retrieve file version info";

  DWORD handle = 0;
  const DWORD size = WideGetFileVersionInfoSize(fileName, &handle);
  if (size == 0) return failed;

  std::vector<unsigned char> buffer(size);
  if (!WideGetFileVersionInfo(fileName, 0, size, buffer.data())) return failed;

  void* block = nullptr;
  UINT length = 0;
  char root[] = "\\";
  if (!VerQueryValueA(buffer.data(), root, &block, &length) || length == 0 || block == nullptr) {
    return failed;
  }
  // The root block may be shorter than the structure in a damaged resource:
  // only the two file-version words are read, and only when present.
  if (length < offsetof(VS_FIXEDFILEINFO, dwProductVersionMS)) return failed;
  const auto* info = static_cast<const VS_FIXEDFILEINFO*>(block);
  return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." +
         std::to_wstring(LOWORD(info->dwFileVersionMS)) + L"." +
         std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." +
         std::to_wstring(LOWORD(info->dwFileVersionLS));
}

void RecordInstallPath(const std::string& valueName, const std::string& value) noexcept {
  UniqueRegKey key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velmora", 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
    return;
  }
  // The terminating NUL is part of a REG_SZ value's data. A value that cannot
  // be written is left as it was: start-up goes on either way.
  RegSetValueExA(key.get(), valueName.c_str(), 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>(value.size() + 1));
}

std::string WideToAnsi(const std::wstring& text, bool* exact) {
  if (exact) *exact = true;
  if (text.empty()) return {};
  // No best-fit letters: a character missing from the code page must not turn
  // into a look-alike (another file name, a path separator, a dot).
  const bool utf8 = GetACP() == CP_UTF8;
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* usedDefaultOut = utf8 ? nullptr : &usedDefault;
  const int length = static_cast<int>(text.size());
  const int needed =
      WideCharToMultiByte(CP_ACP, flags, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) {
    if (exact) *exact = false;
    return {};
  }
  std::string result(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(CP_ACP, flags, text.data(), length, &result[0], needed, nullptr,
                      usedDefaultOut);
  if (exact && usedDefault) *exact = false;
  return result;
}

std::wstring AnsiToWide(const std::string& text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int needed = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
  if (needed <= 0) return {};
  std::wstring result(static_cast<std::size_t>(needed), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), length, &result[0], needed);
  return result;
}

}  // namespace qf
