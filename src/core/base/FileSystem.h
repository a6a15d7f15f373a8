// The file-system services the core needs, behind one small interface with a
// Win32 implementation (8-bit A functions) and a POSIX one (names matched
// without regard to case). The core never talks to the system directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qf {

struct FoundEntry {
  std::string name;  // long name as the file system spells it
  bool isDirectory = false;
};

// A file open for reading from its start to its end, piece by piece.
class FileReader {
 public:
  virtual ~FileReader() = default;
  // Reads up to size bytes into buffer and returns how many were read; 0
  // only at the end of the file. Throws EFOpenError (full path, system
  // description) when the read fails.
  virtual std::size_t Read(char* buffer, std::size_t size) = 0;
};

// A file open for reading at any place: a minidump of several GB is read
// where its structures lie, never whole. Offsets are 64-bit on every build.
class RandomAccessReader {
 public:
  virtual ~RandomAccessReader() = default;
  // The file's size when it was opened.
  virtual uint64_t Size() const = 0;
  // Reads up to size bytes at offset into buffer and returns how many were
  // read: size, fewer only where the file ends (0 at or past its end).
  // Throws EFOpenError (full path, system description) when the read fails.
  virtual std::size_t ReadAt(uint64_t offset, char* buffer, std::size_t size) = 0;
};

// Bytes held in memory read as a file: owned (from a string) or borrowed (a
// view that must outlive the reader).
class MemoryRandomAccessReader final : public RandomAccessReader {
 public:
  explicit MemoryRandomAccessReader(std::string owned) : owned_(std::move(owned)), bytes_(owned_) {}
  explicit MemoryRandomAccessReader(std::string_view borrowed) : bytes_(borrowed) {}
  MemoryRandomAccessReader(const MemoryRandomAccessReader&) = delete;
  MemoryRandomAccessReader& operator=(const MemoryRandomAccessReader&) = delete;
  uint64_t Size() const override { return bytes_.size(); }
  std::size_t ReadAt(uint64_t offset, char* buffer, std::size_t size) override;
  // The whole of the bytes.
  std::string_view Bytes() const { return bytes_; }

 private:
  std::string owned_;
  std::string_view bytes_;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Opens a file to be read piece by piece, other writers shut out while it
  // is open (as for ReadWholeFile). Throws EFOpenError when it cannot be
  // opened.
  virtual std::unique_ptr<FileReader> OpenForReading(const std::string& path) const = 0;

  // The whole content of a file, read while other writers are shut out.
  // Throws EFOpenError (full path, system description) when it cannot be
  // opened or read.
  virtual std::string ReadWholeFile(const std::string& path) const = 0;

  // Opens a file to be read at any place, other writers shut out while it is
  // open. Throws EFOpenError when it cannot be opened. The platforms read in
  // place; this default (for file systems of tests) reads the file whole.
  virtual std::unique_ptr<RandomAccessReader> OpenRandomAccess(const std::string& path) const {
    return std::make_unique<MemoryRandomAccessReader>(ReadWholeFile(path));
  }

  // An entry of that name that is not a folder (on Windows also: its
  // last-write time fits the packed 1980-2107 date form).
  virtual bool FileExists(const std::string& path) const = 0;
  virtual bool DirectoryExists(const std::string& path) const = 0;
  // The size in bytes of an ordinary file; -1 when it cannot be read.
  virtual long long FileSize(const std::string& path) const = 0;
  // One level only: fails when the parent is missing or the folder exists.
  virtual bool CreateDir(const std::string& path) const = 0;
  // Writes content to a new file; fails when the path exists or the file
  // cannot be written whole (a partial file is removed). File systems of
  // tests that never write keep this default, which fails.
  virtual bool WriteNewFile(const std::string& path, std::string_view content) const {
    (void)path;
    (void)content;
    return false;
  }
  // Fails when the target exists.
  virtual bool CopyNoReplace(const std::string& from, const std::string& to) const = 0;
  // Renames within one volume; fails when the target exists.
  virtual bool MoveNoReplace(const std::string& from, const std::string& to) const = 0;
  virtual bool RemoveFile(const std::string& path) const = 0;

  // Entries matching a wildcard pattern ("*" and "?" in the last path part,
  // matched without regard to case), folders and files alike, in the file
  // system's order; "." and ".." included; hidden, system and volume-label
  // entries skipped. Empty when the enumeration cannot start.
  virtual std::vector<FoundEntry> FindEntries(const std::string& pattern) const = 0;
};

// The implementation for the system the program was built for.
const FileSystem& PlatformFileSystem();

}  // namespace qf
