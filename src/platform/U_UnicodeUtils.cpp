#include "U_UnicodeUtils.h"

#include <string>

#include "base/PathRules.h"
#include "U_Utils.h"
#include "UniqueHandle.h"

namespace qf {

bool WideApiAvailable = false;

void ProbeWideApi() {
  char buffer[1024];
  const UINT length = GetWindowsDirectoryA(buffer, sizeof buffer);
  std::string pattern(buffer, length < sizeof buffer ? length : 0);
  pattern = IncludeTrailingPathDelimiter(pattern) + "*.*";

  WIN32_FIND_DATAW data;
  const UniqueFind found(FindFirstFileW(AnsiToWide(pattern).c_str(), &data));
  WideApiAvailable = static_cast<bool>(found);
}

namespace {

// Runs the probe while the program starts, before any window exists.
struct WideApiProbe {
  WideApiProbe() { ProbeWideApi(); }
} const wideApiProbe;

}  // namespace

namespace {

// The name for the ANSI functions. A name with a character that the ANSI code
// page lacks cannot be reached through them: converted, it would name another
// file, or a pattern ("?" is a wildcard for the find functions).
bool AnsiName(const std::wstring& name, std::string& ansi) {
  bool exact = false;
  ansi = WideToAnsi(name, &exact);
  if (!exact) SetLastError(ERROR_FILE_NOT_FOUND);
  return exact;
}

}  // namespace

bool WideFileExists(const std::wstring& name) {
  DWORD attributes = 0;
  if (WideApiAvailable) {
    WIN32_FIND_DATAW data;
    const UniqueFind found(FindFirstFileW(name.c_str(), &data));
    if (!found) return false;
    attributes = data.dwFileAttributes;
  } else {
    std::string ansi;
    if (!AnsiName(name, ansi)) return false;
    WIN32_FIND_DATAA data;
    const UniqueFind found(FindFirstFileA(ansi.c_str(), &data));
    if (!found) return false;
    attributes = data.dwFileAttributes;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

DWORD WideGetFileVersionInfoSize(const std::wstring& name, DWORD* handle) {
  if (WideApiAvailable) return GetFileVersionInfoSizeW(name.c_str(), handle);
  std::string ansi;
  if (!AnsiName(name, ansi)) {
    if (handle) *handle = 0;
    return 0;
  }
  return GetFileVersionInfoSizeA(ansi.c_str(), handle);
}

BOOL WideGetFileVersionInfo(const std::wstring& name, DWORD handle, DWORD size, void* data) {
  if (WideApiAvailable) return GetFileVersionInfoW(name.c_str(), handle, size, data);
  std::string ansi;
  if (!AnsiName(name, ansi)) return FALSE;
  return GetFileVersionInfoA(ansi.c_str(), handle, size, data);
}

}  // namespace qf
