#include "U_UnicodeUtils.h"

#include <string>

#include "U_Utils.h"
#include "UniqueHandle.h"

namespace qf {

bool WideApiAvailable = false;

void ProbeWideApi() {
  char buffer[1024];
  const UINT length = GetWindowsDirectoryA(buffer, sizeof buffer);
  std::string pattern(buffer, length < sizeof buffer ? length : 0);
  if (pattern.empty() || pattern.back() != '\\') pattern += '\\';
  pattern += "*.*";

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

bool WideFileExists(const std::wstring& name) {
  DWORD attributes = 0;
  if (WideApiAvailable) {
    WIN32_FIND_DATAW data;
    const UniqueFind found(FindFirstFileW(name.c_str(), &data));
    if (!found) return false;
    attributes = data.dwFileAttributes;
  } else {
    WIN32_FIND_DATAA data;
    const UniqueFind found(FindFirstFileA(WideToAnsi(name).c_str(), &data));
    if (!found) return false;
    attributes = data.dwFileAttributes;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

DWORD WideGetFileVersionInfoSize(const std::wstring& name, DWORD* handle) {
  if (WideApiAvailable) return GetFileVersionInfoSizeW(name.c_str(), handle);
  return GetFileVersionInfoSizeA(WideToAnsi(name).c_str(), handle);
}

BOOL WideGetFileVersionInfo(const std::wstring& name, DWORD handle, DWORD size, void* data) {
  if (WideApiAvailable) return GetFileVersionInfoW(name.c_str(), handle, size, data);
  return GetFileVersionInfoA(WideToAnsi(name).c_str(), handle, size, data);
}

}  // namespace qf
