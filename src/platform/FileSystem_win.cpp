// The core's file system on Windows, through the 8-bit (A) entry points.
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>

#include "base/Errors.h"
#include "base/FileSystem.h"

namespace qf {
namespace {

std::string SystemMessage(DWORD code) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = n ? std::string(text, n) : "Erreur syst\xE8me " + std::to_string(code);
  if (text) LocalFree(text);
  return message;
}

std::string FullPath(const std::string& path) {
  char buffer[MAX_PATH * 4];
  const DWORD n = GetFullPathNameA(path.c_str(), sizeof buffer, buffer, nullptr);
  return (n > 0 && n < sizeof buffer) ? std::string(buffer, n) : path;
}

// A kernel handle closed on every way out.
class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (valid()) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }

 private:
  HANDLE h_;
};

// A search handle of FindFirstFileA, closed with FindClose.
class FindHandle {
 public:
  FindHandle(const std::string& pattern, WIN32_FIND_DATAA& data)
      : h_(FindFirstFileA(pattern.c_str(), &data)) {}
  ~FindHandle() {
    if (valid()) FindClose(h_);
  }
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
  bool Next(WIN32_FIND_DATAA& data) const { return FindNextFileA(h_, &data) != 0; }

 private:
  HANDLE h_;
};

// The volume-label attribute of the old file systems (no name in windows.h).
constexpr DWORD kVolumeLabelAttribute = 0x00000008;
// Entries that a request for folders passes over.
constexpr DWORD kSkippedAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | kVolumeLabelAttribute;

bool HasWildcard(const std::string& path) { return path.find_first_of("*?") != std::string::npos; }

// The last-write time can be written as a local date and time in the packed
// two-second form (years 1980 to 2107).
bool HasPackedTime(const FILETIME& lastWrite) {
  FILETIME local{};
  WORD date = 0, time = 0;
  if (!FileTimeToLocalFileTime(&lastWrite, &local) || !FileTimeToDosDateTime(&local, &date, &time)) return false;
  // Windows refuses years past 2107 in the conversion itself; some
  // implementations (Wine) wrap the year instead, so the bound is checked here.
  SYSTEMTIME fields{};
  return FileTimeToSystemTime(&local, &fields) && fields.wYear <= 2107;
}

class Win32FileSystem final : public FileSystem {
  class Reader final : public FileReader {
   public:
    explicit Reader(const std::string& path)
        // Other readers are allowed, other writers are shut out while we read.
        : h_(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr)),
          error_(GetLastError()),
          path_(path) {}
    bool Opened() const { return h_.valid(); }
    DWORD Error() const { return error_; }
    std::size_t Read(char* buffer, std::size_t size) override {
      // ReadFile takes a 32-bit count.
      const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
      DWORD got = 0;
      if (!::ReadFile(h_.get(), buffer, want, &got, nullptr)) Fail(path_, GetLastError());
      return got;
    }

   private:
    Handle h_;
    DWORD error_;
    std::string path_;
  };

  // ReadFile at the 64-bit offset given in its OVERLAPPED (on a handle
  // opened without FILE_FLAG_OVERLAPPED the read is synchronous).
  class PositionedReader final : public RandomAccessReader {
   public:
    explicit PositionedReader(const std::string& path)
        : h_(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS, nullptr)),
          error_(GetLastError()),
          path_(path) {
      LARGE_INTEGER size{};
      if (h_.valid() && GetFileSizeEx(h_.get(), &size) && size.QuadPart > 0) size_ = static_cast<uint64_t>(size.QuadPart);
    }
    bool Opened() const { return h_.valid(); }
    DWORD Error() const { return error_; }
    uint64_t Size() const override { return size_; }
    std::size_t ReadAt(uint64_t offset, char* buffer, std::size_t size) override {
      std::size_t done = 0;
      while (done < size && offset + done < size_) {
        const uint64_t at = offset + done;
        OVERLAPPED place{};
        place.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
        place.OffsetHigh = static_cast<DWORD>(at >> 32);
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
        DWORD got = 0;
        if (!::ReadFile(h_.get(), buffer + done, want, &got, &place)) {
          const DWORD error = GetLastError();
          if (error == ERROR_HANDLE_EOF) break;
          Fail(path_, error);
        }
        if (got == 0) break;
        done += got;
      }
      return done;
    }

   private:
    Handle h_;
    DWORD error_;
    std::string path_;
    uint64_t size_ = 0;
  };

 public:
  std::unique_ptr<FileReader> OpenForReading(const std::string& path) const override {
    auto reader = std::make_unique<Reader>(path);
    if (!reader->Opened()) Fail(path, reader->Error());
    return reader;
  }

  std::unique_ptr<RandomAccessReader> OpenRandomAccess(const std::string& path) const override {
    auto reader = std::make_unique<PositionedReader>(path);
    if (!reader->Opened()) Fail(path, reader->Error());
    return reader;
  }

  std::string ReadWholeFile(const std::string& path) const override {
    // Other readers are allowed, other writers are shut out while we read.
    Handle h(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!h.valid()) Fail(path, GetLastError());
    std::string data;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(h.get(), &size) && size.QuadPart > 0) {
      if (size.QuadPart > 0x7FFFFFFF) Fail(path, ERROR_NOT_ENOUGH_MEMORY);
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
      if (!::ReadFile(h.get(), full ? spill : &data[used], want, &got, nullptr)) Fail(path, GetLastError());
      if (got == 0) break;
      if (full) data.append(spill, got);
      used += got;
    }
    data.resize(used);
    return data;
  }

  // Found by a search, not a folder, and with a last-write time in the
  // packed range. A name with a wildcard names no single file.
  bool FileExists(const std::string& path) const override {
    if (path.empty() || HasWildcard(path)) return false;
    WIN32_FIND_DATAA data{};
    {
      const FindHandle find(path, data);
      if (!find.valid()) return false;
    }
    return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && HasPackedTime(data.ftLastWriteTime);
  }

  bool DirectoryExists(const std::string& path) const override {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  long long FileSize(const std::string& path) const override {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }

  bool CreateDir(const std::string& path) const override { return CreateDirectoryA(path.c_str(), nullptr) != 0; }

  bool CopyNoReplace(const std::string& from, const std::string& to) const override {
    if (!CopyFileA(from.c_str(), to.c_str(), TRUE)) return false;
    // The copy takes the source's attributes; a hidden or system copy would
    // never show in a listing, so those two are dropped from it.
    const DWORD attributes = GetFileAttributesA(to.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)))
      SetFileAttributesA(to.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    return true;
  }

  bool WriteNewFile(const std::string& path, std::string_view content) const override {
    bool written = false;
    {
      // CREATE_NEW: an existing file is never opened, let alone truncated.
      Handle h(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!h.valid()) return false;
      written = true;
      for (std::size_t done = 0; written && done < content.size();) {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(content.size() - done, 1u << 24));
        DWORD put = 0;
        if (!::WriteFile(h.get(), content.data() + done, want, &put, nullptr) || put == 0) written = false;
        done += put;
      }
    }
    if (!written) DeleteFileA(path.c_str());  // ours: CREATE_NEW made it
    return written;
  }

  bool MoveNoReplace(const std::string& from, const std::string& to) const override {
    // Without MOVEFILE_REPLACE_EXISTING the move fails when the target exists.
    return MoveFileExA(from.c_str(), to.c_str(), 0) != 0;
  }

  bool RemoveFile(const std::string& path) const override {
    if (DeleteFileA(path.c_str())) return true;
    // A copy keeps the source's read-only flag; such a file is ours to
    // remove all the same.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !(attributes & FILE_ATTRIBUTE_READONLY))
      return false;
    if (!SetFileAttributesA(path.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY))) return false;
    if (DeleteFileA(path.c_str())) return true;
    SetFileAttributesA(path.c_str(), attributes);
    return false;
  }

  std::vector<FoundEntry> FindEntries(const std::string& pattern) const override {
    std::vector<FoundEntry> found;
    WIN32_FIND_DATAA data{};
    const FindHandle find(pattern, data);
    if (!find.valid()) return found;
    do {
      if (data.dwFileAttributes & kSkippedAttributes) continue;
      found.push_back({data.cFileName, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    } while (find.Next(data));
    return found;
  }

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
