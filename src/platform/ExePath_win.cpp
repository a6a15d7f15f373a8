#include <windows.h>

#include <string>

#include "ExePath.h"

namespace qf {

std::string ExecutablePath() {
  std::string buffer(MAX_PATH, '\0');
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD n = GetModuleFileNameA(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::string();
    // A full buffer means the name was cut short (and, on older systems, not
    // even terminated).
    if (n < buffer.size() && GetLastError() != ERROR_INSUFFICIENT_BUFFER) return buffer.substr(0, n);
    if (buffer.size() >= (1u << 16)) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

std::wstring ExecutablePathW() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0) break;
    if (length < path.size()) return path.substr(0, length);
    if (path.size() >= (1u << 16)) break;
    path.resize(path.size() * 2);
  }
  const std::string ansi = ExecutablePath();
  const int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
  std::wstring widened(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), &widened[0], n);
  return widened;
}

}  // namespace qf
