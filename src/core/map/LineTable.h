// The storage of the MAP line table: entries in file order, compact.
//
// Each entry is its offset and its line (8 bytes), kept column-wise in
// blocks that are allocated as the table grows and never moved or copied.
// The source file and the segment of the entries are kept once per run of
// neighbours that share them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/BulkMemory.h"

namespace qf {

// Entries as one reading produces them, before they join a table: the
// source names are local to the batch (one per section header read) and
// the segment is the number written before each pair's ":".
struct LineBatch {
  static constexpr int32_t kNoSegment = -1;
  struct Run {
    int32_t first;    // index of its first entry
    uint32_t source;  // into sources
    int32_t segment;  // kNoSegment or a four-digit segment number
  };
  std::vector<Run> runs;
  std::vector<std::string> sources;
  std::vector<uint32_t> tableSources;  // sources[i] as interned by the table it last joined

  std::size_t Size() const { return size_; }
  const int32_t* Offsets() const { return offsets_.get(); }
  const int32_t* Lines() const { return lines_.get(); }

  // Room for n more entries: Add then never allocates.
  void Reserve(std::size_t n) {
    if (size_ + n > capacity_) Grow(size_ + n);
  }
  void Add(uint32_t source, int32_t segment, int32_t line, int32_t offset) {
    JoinRun(source, segment);
    AddToRun(line, offset);
  }
  // Add in two steps, for entries that share their source and segment: the
  // run they belong to, then each entry.
  void JoinRun(uint32_t source, int32_t segment) {
    if (runs.empty() || runs.back().source != source || runs.back().segment != segment) {
      runs.push_back({static_cast<int32_t>(size_), source, segment});
    }
  }
  void AddToRun(int32_t line, int32_t offset) {
    offsets_[size_] = offset;
    lines_[size_] = line;
    ++size_;
  }
  // Four entries at once (lines and offsets as four int32_t each).
  void AddFourToRun(const void* lines, const void* offsets) {
    std::memcpy(offsets_.get() + size_, offsets, 4 * sizeof(int32_t));
    std::memcpy(lines_.get() + size_, lines, 4 * sizeof(int32_t));
    size_ += 4;
  }
  // Forgets the entries; the sources stay (a reading goes on with them).
  void ClearEntries() {
    size_ = 0;
    runs.clear();
  }
  void Reset() {
    ClearEntries();
    sources.clear();
    tableSources.clear();
  }

 private:
  void Grow(std::size_t atLeast);

  std::unique_ptr<int32_t[]> offsets_;
  std::unique_ptr<int32_t[]> lines_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

class LineTable {
 public:
  struct Entry {
    const std::string* source;
    int32_t line;
    int32_t offset;
  };

  LineTable() = default;
  ~LineTable();
  LineTable(LineTable&& other) noexcept;
  LineTable& operator=(LineTable&& other) noexcept;
  LineTable(const LineTable&) = delete;
  LineTable& operator=(const LineTable&) = delete;

  int32_t Count() const { return count_; }
  Entry At(int32_t index) const;  // 0 <= index < Count()

  // Appends the entries of a batch behind those already here.
  void Append(LineBatch& batch);
  void Add(std::string_view source, int32_t line, int32_t offset);

  // Settles the segments once a file is read: the entries of each segment
  // that has a distance other than 0 move by it (32-bit, wrapping) and keep
  // their segment; every other entry has none.
  void MoveSegments(const std::unordered_map<int32_t, uint32_t>& distance);

  // The first position, in table order, that holds exactly offset or, with
  // its predecessor of the same source and segment, brackets it (then the
  // predecessor).
  std::optional<int32_t> Find(int32_t offset) const;

  // Asks the system to keep the filled table in large pages where it can.
  void AdviseLargePages() const;

  void Clear();

 private:
  struct Block {
    BulkMemory memory;
    int32_t* offsets;
    int32_t* lines;
    int32_t first;     // index of its first entry
    int32_t capacity;
  };
  struct Run {
    int32_t first;
    uint32_t source;
    int32_t segment;
  };

  void AddBlock();
  uint32_t InternSource(std::string_view name);
  void AddRun(int32_t first, uint32_t source, int32_t segment);
  const Block& BlockOf(int32_t index) const;
  // True when the entry at index begins a run.
  bool RunStartsAt(int32_t index) const;

  std::vector<Block> blocks_;
  int32_t count_ = 0;
  int32_t capacity_ = 0;
  std::vector<Run> runs_;
  // Each distinct source name is stored once; runs refer to it by index.
  std::vector<std::unique_ptr<const std::string>> sources_;
  std::unordered_map<std::string_view, uint32_t> sourceIndex_;
};

}  // namespace qf
