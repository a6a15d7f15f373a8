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

}  // namespace qf
