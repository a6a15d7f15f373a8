// The rows of one segment as the symbol map builder gathers them, in file
// order, before they are sorted into the map's arrays.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "map/SymbolMapData.h"

namespace qf {

// Pairs in blocks that grow with the list (no copy while a large file is
// read) and are given back one by one while the list is drained.
class PairBlocks {
 public:
  void Append(const LinePair* pairs, std::size_t n) {
    while (n > 0) {
      if (blocks_.empty() || blocks_.back().size == blocks_.back().capacity) AddBlock();
      Block& b = blocks_.back();
      const std::size_t take = std::min(n, b.capacity - b.size);
      std::copy_n(pairs, take, b.pairs.get() + b.size);
      b.size += take;
      size_ += take;
      pairs += take;
      n -= take;
    }
  }
  std::size_t size() const { return size_; }
  // f(pair) for every pair in order.
  template <typename F>
  void ForEach(F&& f) const {
    for (const Block& b : blocks_) {
      for (std::size_t i = 0; i < b.size; ++i) f(b.pairs[i]);
    }
  }
  // The same, each block freed once visited; the list is then empty.
  template <typename F>
  void Drain(F&& f) {
    for (Block& b : blocks_) {
      for (std::size_t i = 0; i < b.size; ++i) f(b.pairs[i]);
      b.pairs.reset();
    }
    blocks_.clear();
    size_ = 0;
  }

 private:
  struct Block {
    std::unique_ptr<LinePair[]> pairs;
    std::size_t size;
    std::size_t capacity;
  };
  void AddBlock() {
    // From 4,096 pairs, doubling up to 4 M (32 MB): a small file stays small,
    // and the blocks of a large one are each given back to the system.
    const std::size_t capacity = blocks_.empty() ? 4096 : std::min<std::size_t>(blocks_.back().capacity * 2, 1u << 22);
    blocks_.push_back({std::unique_ptr<LinePair[]>(new LinePair[capacity]), 0, capacity});
  }

  std::vector<Block> blocks_;
  std::size_t size_ = 0;
};

// A line-number section as the map compares it.
struct SectionKeys {
  uint32_t source;     // exact SOURCE
  uint32_t unitKey;    // match keys (MatchKey)
  uint32_t sourceKey;
};

struct RawSegment {
  std::vector<UnitRow> units;
  std::vector<Public> publics;
  PairBlocks pairs;
  std::vector<FileRun> sections;  // runs over pairs, id: a section

  void AddPairs(const LinePair* p, std::size_t n, uint32_t section) {
    if (n == 0) return;
    if (sections.empty() || sections.back().id != section) sections.push_back({pairs.size(), section});
    pairs.Append(p, n);
  }
};

// Sorts the rows of one code segment into its arrays; the segment's length
// grows to the end of its last unit. The raw rows are used up.
void FinishSegment(RawSegment& raw, const std::vector<SectionKeys>& sections, CodeSegment& segment,
                   SegmentSymbols& out);

}  // namespace qf
