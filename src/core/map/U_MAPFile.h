// The MAP line table: reads the line-number sections of a linker MAP file into
// an ordered table of (line, offset, source file) entries and finds the entry
// that covers a code offset.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/FileSystem.h"
#include "map/LineTable.h"
#include "map/LineTableLoader.h"

namespace qf {

// Address of the first byte of code of a 32-bit Windows program (image base
// 0x400000 plus 0x1000); every table offset counts from here.
inline constexpr int32_t CodeBase = 0x401000;

// One entry of a line table. Entries are made only by the table; the source
// name is borrowed from it and stays valid until its next Load, Clear or
// destruction.
class TLineOffset {
 public:
  TLineOffset(const std::string& sourceFile, int32_t line, int32_t offset)
      : sourceFile_(&sourceFile), line_(line), offset_(offset) {}

  int32_t Line() const { return line_; }
  int32_t Offset() const { return offset_; }
  const std::string& SourceFile() const { return *sourceFile_; }

 private:
  const std::string* sourceFile_;
  int32_t line_;
  int32_t offset_;
};

// What a typed crash address turns into.
struct CrashAddress {
  enum Kind { NoAddress, InvalidAddress, Valid };
  Kind kind = NoAddress;
  int32_t offset = 0;  // meaningful when kind == Valid
};

// Reads the typed text as hexadecimal (with or without "0x") and subtracts
// CodeBase. Fewer than two characters: NoAddress; a value below CodeBase or
// text that does not convert: InvalidAddress.
CrashAddress CrashAddressToOffset(std::string_view typed);

class TMapFile {
 public:
  TMapFile() = default;  // empty, not Loaded
  ~TMapFile() = default;
  TMapFile(const TMapFile&) = delete;
  TMapFile& operator=(const TMapFile&) = delete;

  // Replaces the contents with the entries of the MAP file at fileName. The
  // file is read piece by piece into a new table, which replaces this one
  // only once the whole file is read: when it cannot be opened or read,
  // EFOpenError is raised and the table is left exactly as it was. Running
  // out of memory leaves an empty table that is not Loaded.
  void Load(const std::string& fileName, const FileSystem& fs = PlatformFileSystem(),
            const LineTableLoadOptions& options = {});
  // The same reading rules applied to text already in memory (cut at a NUL).
  void LoadFromText(std::string_view text);

  // Frees every entry; Loaded is not changed.
  void Clear();
  int32_t Count() const { return table_.Count(); }
  bool Loaded() const { return loaded_; }

  // The entry at index (0-based); EListError outside the table.
  TLineOffset Entry(int32_t index) const;

  // The entry covering offset: the first position, in table order, that holds
  // exactly this offset or, with its predecessor of the same source file and
  // the same segment, brackets it (then the predecessor). None when not
  // Loaded or not found.
  std::optional<TLineOffset> FindOffset(int32_t offset) const;

  // The source name of a "Line numbers" header: the text inside its first
  // parentheses (up to the ")" that closes the first "("), "" when a ")"
  // stands before the first "(", "Unknown file" without both.
  static std::string ExtractSourceFile(std::string_view headerLine);

  // Appends the (line, offset) pairs of one trimmed data line.
  void ParseLineNumbers(std::string_view text, const std::string& sourceFile);
  void AddEntry(const std::string& sourceFile, int32_t line, int32_t offset);

 private:
  // Settles the segments of what was read and makes it the table.
  void Take(ReadLines&& read);
  TLineOffset At(int32_t index) const;

  LineTable table_;
  bool loaded_ = false;
};

}  // namespace qf
