#include "map/LineTable.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace qf {
namespace {

// Blocks double from 4096 entries up to 2^19 (4 MB: two large pages of
// offsets and two of lines), then stay at that size.
constexpr int32_t kFirstShift = 12;
constexpr int32_t kGrowingBlocks = 7;
constexpr int32_t kLastShift = kFirstShift + kGrowingBlocks;
constexpr int32_t kGrownFrom = (1 << kFirstShift) * ((1 << kGrowingBlocks) - 1);  // first index of block 7

int32_t CapacityOf(std::size_t block) {
  return block < kGrowingBlocks ? (1 << (kFirstShift + static_cast<int32_t>(block))) : (1 << kLastShift);
}

std::size_t BlockIndexOf(int32_t index) {
  if (index >= kGrownFrom) return kGrowingBlocks + static_cast<std::size_t>((index - kGrownFrom) >> kLastShift);
  std::size_t k = 0;
  while (((index >> kFirstShift) + 1) >> (k + 1)) ++k;
  return k;
}

}  // namespace

void LineBatch::Grow(std::size_t atLeast) {
  const std::size_t capacity = std::max(atLeast, capacity_ * 2);
  std::unique_ptr<int32_t[]> offsets(new int32_t[capacity]);
  std::unique_ptr<int32_t[]> lines(new int32_t[capacity]);
  std::copy_n(offsets_.get(), size_, offsets.get());
  std::copy_n(lines_.get(), size_, lines.get());
  offsets_ = std::move(offsets);
  lines_ = std::move(lines);
  capacity_ = capacity;
}

LineTable::~LineTable() { Clear(); }

LineTable::LineTable(LineTable&& other) noexcept { *this = std::move(other); }

LineTable& LineTable::operator=(LineTable&& other) noexcept {
  if (this != &other) {
    Clear();
    blocks_ = std::move(other.blocks_);
    count_ = other.count_;
    capacity_ = other.capacity_;
    runs_ = std::move(other.runs_);
    sources_ = std::move(other.sources_);
    sourceIndex_ = std::move(other.sourceIndex_);
    other.blocks_.clear();
    other.count_ = other.capacity_ = 0;
    other.runs_.clear();
    other.sources_.clear();
    other.sourceIndex_.clear();
  }
  return *this;
}

void LineTable::Clear() {
  blocks_.clear();
  count_ = capacity_ = 0;
  runs_.clear();
  sources_.clear();
  sourceIndex_.clear();
}

void LineTable::AddBlock() {
  const int32_t capacity = CapacityOf(blocks_.size());
  BulkMemory memory(static_cast<std::size_t>(capacity) * 2 * sizeof(int32_t));
  auto* offsets = static_cast<int32_t*>(memory.Data());
  blocks_.push_back({std::move(memory), offsets, offsets + capacity, capacity_, capacity});
  capacity_ += capacity;
}

void LineTable::AdviseLargePages() const {
  for (const Block& b : blocks_) b.memory.AdviseLargePages();
}

const LineTable::Block& LineTable::BlockOf(int32_t index) const { return blocks_[BlockIndexOf(index)]; }

LineTable::Entry LineTable::At(int32_t index) const {
  const Block& b = BlockOf(index);
  const auto run = std::upper_bound(runs_.begin(), runs_.end(), index,
                                    [](int32_t i, const Run& r) { return i < r.first; }) - 1;
  const int32_t j = index - b.first;
  return {sources_[run->source].get(), b.lines[j], b.offsets[j]};
}

uint32_t LineTable::InternSource(std::string_view name) {
  const auto found = sourceIndex_.find(name);
  if (found != sourceIndex_.end()) return found->second;
  const auto index = static_cast<uint32_t>(sources_.size());
  sources_.push_back(std::make_unique<const std::string>(name));
  try {
    sourceIndex_.emplace(*sources_.back(), index);
  } catch (...) {
    sources_.pop_back();
    throw;
  }
  return index;
}

void LineTable::AddRun(int32_t first, uint32_t source, int32_t segment) {
  if (!runs_.empty() && runs_.back().source == source && runs_.back().segment == segment) return;
  runs_.push_back({first, source, segment});
}

void LineTable::Add(std::string_view source, int32_t line, int32_t offset) {
  if (count_ == capacity_) AddBlock();
  AddRun(count_, InternSource(source), LineBatch::kNoSegment);
  const Block& b = blocks_.back();
  b.offsets[count_ - b.first] = offset;
  b.lines[count_ - b.first] = line;
  ++count_;
}

void LineTable::Append(LineBatch& batch) {
  while (batch.tableSources.size() < batch.sources.size()) {
    batch.tableSources.push_back(InternSource(batch.sources[batch.tableSources.size()]));
  }
  if (batch.Size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max() - count_)) throw std::bad_alloc();
  const auto n = static_cast<int32_t>(batch.Size());
  // Room first, so that a failure leaves the table as it was.
  while (capacity_ - count_ < n) AddBlock();
  const std::size_t runs = runs_.size() + batch.runs.size();
  if (runs > runs_.capacity()) runs_.reserve(std::max(runs, runs_.capacity() * 2));
  for (const LineBatch::Run& r : batch.runs) AddRun(count_ + r.first, batch.tableSources[r.source], r.segment);
  for (int32_t done = 0; done < n;) {
    const Block& b = BlockOf(count_);
    const int32_t j = count_ - b.first;
    const int32_t take = std::min(n - done, b.capacity - j);
    std::memcpy(b.offsets + j, batch.Offsets() + done, static_cast<std::size_t>(take) * sizeof(int32_t));
    std::memcpy(b.lines + j, batch.Lines() + done, static_cast<std::size_t>(take) * sizeof(int32_t));
    count_ += take;
    done += take;
  }
}

void LineTable::MoveSegments(const std::unordered_map<int32_t, uint32_t>& distance) {
  std::vector<Run> settled;
  settled.reserve(runs_.size());
  for (std::size_t r = 0; r < runs_.size(); ++r) {
    Run run = runs_[r];
    const auto found = run.segment == LineBatch::kNoSegment ? distance.end() : distance.find(run.segment);
    const uint32_t by = found == distance.end() ? 0 : found->second;
    if (by != 0) {
      const int32_t last = r + 1 < runs_.size() ? runs_[r + 1].first : count_;
      for (int32_t i = run.first; i < last;) {
        const Block& b = BlockOf(i);
        const int32_t end = std::min(last, b.first + b.capacity);
        for (int32_t k = i - b.first; k < end - b.first; ++k) {
          b.offsets[k] = static_cast<int32_t>(static_cast<uint32_t>(b.offsets[k]) + by);
        }
        i = end;
      }
    } else {
      run.segment = LineBatch::kNoSegment;
    }
    if (settled.empty() || settled.back().source != run.source || settled.back().segment != run.segment) {
      settled.push_back(run);
    }
  }
  runs_.swap(settled);
}

bool LineTable::RunStartsAt(int32_t index) const {
  const auto run = std::lower_bound(runs_.begin(), runs_.end(), index, [](const Run& r, int32_t i) { return r.first < i; });
  return run != runs_.end() && run->first == index;
}

std::optional<int32_t> LineTable::Find(int32_t offset) const {
  // The scan looks at offsets only, a chunk at a time without branches;
  // only a chunk that holds a candidate is walked entry by entry.
  constexpr int32_t kChunk = 64;
  int32_t previous = std::numeric_limits<int32_t>::max();  // the first entry never brackets
  for (const Block& b : blocks_) {
    const int32_t n = std::min(b.capacity, count_ - b.first);
    if (n <= 0) break;
    const int32_t* const o = b.offsets;
    for (int32_t j = 0; j < n; j += kChunk) {
      const int32_t stop = std::min(n, j + kChunk);
      const int32_t before = j == 0 ? previous : o[j - 1];
      unsigned hit = (o[j] == offset) | ((o[j] > offset) & (before < offset));
      for (int32_t k = j + 1; k < stop; ++k) hit |= (o[k] == offset) | ((o[k] > offset) & (o[k - 1] < offset));
      if (!hit) continue;
      for (int32_t k = j; k < stop; ++k) {
        if (o[k] == offset) return b.first + k;
        const int32_t p = k == 0 ? previous : o[k - 1];
        if (o[k] > offset && p < offset && !RunStartsAt(b.first + k)) return b.first + k - 1;
      }
    }
    previous = o[n - 1];
  }
  return std::nullopt;
}

}  // namespace qf
