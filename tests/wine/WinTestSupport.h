// Helpers of the Windows tests: the folder of the running test program and a
// scratch folder that is removed with everything created in it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace qf::test {

// The folder of the running executable, with a trailing backslash; the test
// programs built beside the tests live there.
inline std::wstring ExeFolder() {
  wchar_t buffer[MAX_PATH * 2];
  const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH * 2);
  std::wstring path(buffer, n);
  return path.substr(0, path.find_last_of(L"\\/") + 1);
}

// A fresh folder under the system's temporary folder.
class ScratchFolder {
 public:
  ScratchFolder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + L"qf-win-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(++counter_) + L"\\";
    CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~ScratchFolder() {
    for (auto it = files_.rbegin(); it != files_.rend(); ++it) {
      if (!DeleteFileW(it->c_str())) RemoveDirectoryW(it->c_str());
    }
    RemoveDirectoryW(path_.c_str());
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::wstring& Path() const { return path_; }

  std::wstring WriteFile(const std::wstring& name, const std::string& content) {
    const std::wstring path = Track(name);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    if (h != INVALID_HANDLE_VALUE) {
      ::WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
      CloseHandle(h);
    }
    return path;
  }

  std::wstring CopyIn(const std::wstring& from, const std::wstring& name) {
    const std::wstring path = Track(name);
    CopyFileW(from.c_str(), path.c_str(), FALSE);
    return path;
  }

  std::wstring MakeFolder(const std::wstring& name) {
    const std::wstring path = Track(name);
    CreateDirectoryW(path.c_str(), nullptr);
    return path;
  }

 private:
  std::wstring Track(const std::wstring& name) {
    files_.push_back(path_ + name);
    return files_.back();
  }

  static inline int counter_ = 0;
  std::wstring path_;
  std::vector<std::wstring> files_;
};

}  // namespace qf::test
