// What a symbol map holds, in the sorted arrays its builder fills and its
// answering reads (inside the map only).
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/BulkMemory.h"
#include "map/SymbolMap.h"

namespace qf {

inline constexpr uint32_t kNoIndex = std::numeric_limits<uint32_t>::max();

// Names stored once each, handed out by number; views stay valid because
// each name is held in its own allocation. A name already held is found
// without a copy.
class NamePool {
 public:
  uint32_t Intern(std::string_view name) {
    const auto found = index_.find(name);
    if (found != index_.end()) return found->second;
    const auto id = static_cast<uint32_t>(names_.size());
    names_.push_back(std::make_unique<const std::string>(name));
    index_.emplace(*names_.back(), id);
    return id;
  }
  std::string_view Name(uint32_t id) const { return *names_[id]; }

 private:
  std::vector<std::unique_ptr<const std::string>> names_;
  std::unordered_map<std::string_view, uint32_t> index_;
};

struct UnitRow {
  uint64_t start;
  uint64_t end;
  uint32_t module;  // exact name
  uint32_t key;     // match key of the name
};

// A public function: its offset and its name in the name text.
struct Public {
  uint32_t offset;
  uint32_t nameStart;
  uint32_t nameLength;
};

// A line-number pair; its file is kept once per run of pairs (FileRun).
// No initialisers: a large array of them is filled without being cleared.
struct LinePair {
  uint32_t offset;
  int32_t line;
};

// From pair `first` on, the pairs belong to `id` (a section while building,
// the SOURCE name's number in the map).
struct FileRun {
  uint64_t first;
  uint32_t id;
};

// A pair and its file, next to a stretch of code no unit owns.
struct GapLine {
  bool found = false;
  LinePair pair{0, 0};
  uint32_t file = 0;
};

// Pairs in one array, allocated once and filled in place (never cleared:
// pages that are not written are never touched).
class PairArray {
 public:
  void Allocate(std::size_t n) {
    memory_ = n ? BulkMemory(n * sizeof(LinePair)) : BulkMemory();
    size_ = n;
  }
  LinePair* begin() const { return static_cast<LinePair*>(memory_.Data()); }
  LinePair* end() const { return begin() + size_; }
  std::size_t size() const { return size_; }
  // Once filled: kept in large pages where the system can.
  void AdviseLargePages() const { memory_.AdviseLargePages(); }

 private:
  BulkMemory memory_;
  std::size_t size_ = 0;
};

// The pairs a unit answers with (or, for the last group, the pairs in no
// unit), sorted by offset: a slice of the pairs as read when they lie there
// in order and alone, else a copy.
struct PairGroup {
  const LinePair* begin = nullptr;
  const LinePair* end = nullptr;
  uint32_t files = 0;  // its first run in SegmentSymbols::files
};

// Everything known about one code segment.
struct SegmentSymbols {
  std::vector<UnitRow> units;  // file order
  // The offsets where the owning unit changes, and the owner from each of
  // them on (kNoIndex: no unit). Before the first cut no unit owns an offset.
  std::vector<uint64_t> cuts;
  std::vector<uint32_t> owners;
  std::vector<Public> publics;  // by offset, file order kept on ties
  // units.size() + 1 groups, then one that ends the last group's runs.
  std::vector<PairGroup> groups;
  std::vector<FileRun> files;  // per group, `first` counted from its begin
  // Where the pairs lie: the blocks they were read into, and the copies.
  std::vector<PairArray> storage;
  // Around each stretch owned by no unit (by the number of cuts below it):
  // the last pair below it and the first pair at or above its end, in all
  // sections.
  std::vector<GapLine> gapBelow;
  std::vector<GapLine> gapAbove;
};

struct SymbolMapData {
  uint64_t imageBase = 0x400000;
  bool segmentTable = false;              // the table's header and at least one row
  bool wideStarts = false;                // its first row's start has 16 digits
  std::vector<CodeSegment> codeSegments;  // table order
  std::vector<uint32_t> byStart;          // indexes sorted by start
  std::vector<SegmentSymbols> symbols;    // parallel to codeSegments
  NamePool names;                         // modules and sources, exact
  std::vector<std::string_view> sourceFiles;  // the sources of the line sections, each once
  std::vector<uint32_t> sourceNumber;         // by name number: its place there, else kNoIndex
  std::string publicNames;
};

}  // namespace qf
