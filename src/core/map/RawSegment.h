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
// read); the blocks are handed on as they are.
class PairBlocks {
 public:
  void Append(const LinePair* pairs, std::size_t n) {
    while (n > 0) {
      if (blocks_.empty() || used_ == blocks_.back().size()) AddBlock();
      const std::size_t take = std::min(n, blocks_.back().size() - used_);
      std::copy_n(pairs, take, blocks_.back().begin() + used_);
      used_ += take;
      size_ += take;
      pairs += take;
      n -= take;
    }
  }
  std::size_t size() const { return size_; }
  std::size_t BlockCount() const { return blocks_.size(); }
  // The pairs of block b: [Block(b), Block(b) + BlockSize(b)).
  const LinePair* Block(std::size_t b) const { return blocks_[b].begin(); }
  std::size_t BlockSize(std::size_t b) const { return b + 1 == blocks_.size() ? used_ : blocks_[b].size(); }
  std::vector<PairArray> TakeBlocks() {
    size_ = used_ = 0;
    return std::move(blocks_);
  }

 private:
  void AddBlock() {
    // From 4,096 pairs, doubling up to 512 K (4 MB): a small file stays
    // small, and the unused end of the last block (whose pages are made
    // present at once) stays small too.
    const std::size_t capacity = blocks_.empty() ? 4096 : std::min<std::size_t>(blocks_.back().size() * 2, 1u << 19);
    blocks_.emplace_back();
    blocks_.back().Allocate(capacity);
    used_ = 0;
  }

  std::vector<PairArray> blocks_;
  std::size_t used_ = 0;  // in the last block
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
// grows to the end of its last unit. The raw rows are used up: their pair
// blocks become the map's.
void FinishSegment(RawSegment& raw, const std::vector<SectionKeys>& sections, CodeSegment& segment,
                   SegmentSymbols& out);

}  // namespace qf
