// The core's file system on Windows, through the 8-bit (A) entry points.
#include <windows.h>

#include <algorithm>
#include <string>

#include "Errors.h"
#include "FileSystem.h"

namespace qf {
namespace {

std::string SystemMessage(DWORD code) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = n ? std::string(text, n) : "Erreur système " + std::to_string(code);
  if (text) LocalFree(text);
  return message;
}

std::string FullPath(const std::string& path) {
  char buffer[MAX_PATH * 4];
  const DWORD n = GetFullPathNameA(path.c_str(), sizeof buffer, buffer, nullptr);
  return (n > 0 && n < sizeof buffer) ? std::string(buffer, n) : path;
}

class Win32FileSystem final : public FileSystem {
 public:
  std::string ReadWholeFile(const std::string& path) const override {
    // Other readers are allowed, other writers are shut out while we read.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) Fail(path, GetLastError());
    std::string data;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(h, &size) && size.QuadPart > 0) {
      if (size.QuadPart > 0x7FFFFFFF) {
        CloseHandle(h);
        Fail(path, ERROR_NOT_ENOUGH_MEMORY);
      }
      data.resize(static_cast<std::size_t>(size.QuadPart));
    }
    std::size_t used = 0;
    for (;;) {
      // Past the size the file had when opened, read in small steps: the
      // buffer must not double at the very end of a large file.
      char spill[4096];
      const bool full = used == data.size();
      DWORD got = 0;
      const DWORD want = full ? sizeof spill : static_cast<DWORD>(std::min<std::size_t>(data.size() - used, 1u << 24));
      if (!::ReadFile(h, full ? spill : &data[used], want, &got, nullptr)) {
        const DWORD err = GetLastError();
        CloseHandle(h);
        Fail(path, err);
      }
      if (got == 0) break;
      if (full) data.append(spill, got);
      used += got;
    }
    CloseHandle(h);
    data.resize(used);
    return data;
  }

  bool FileExists(const std::string&) const override { return false; }
  bool DirectoryExists(const std::string&) const override { return false; }
  bool CreateDir(const std::string&) const override { return false; }
  bool CopyNoReplace(const std::string&, const std::string&) const override { return false; }
  bool MoveNoReplace(const std::string&, const std::string&) const override { return false; }
  bool RemoveFile(const std::string&) const override { return false; }
  std::vector<FoundEntry> FindEntries(const std::string&) const override { return {}; }

 private:
  [[noreturn]] static void Fail(const std::string& path, DWORD err) {
    throw EFOpenError(FullPath(path), SystemMessage(err));
  }
};

}  // namespace

const FileSystem& PlatformFileSystem() {
  static const Win32FileSystem fs;
  return fs;
}

}  // namespace qf
