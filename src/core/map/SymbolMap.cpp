#include "map/SymbolMap.h"

#include <algorithm>
#include <utility>

#include "map/SymbolMapBuilder.h"
#include "map/SymbolMapData.h"
#include "map/SymbolMapLoader.h"
#include "map/SymbolRowReader.h"

namespace qf {

struct SymbolMap::Builder::State {
  SymbolRows rows;
  SymbolRowReader reader{rows};
  SymbolMapBuilder builder;
};

SymbolMap::Builder::Builder() : state_(std::make_unique<State>()) {}
SymbolMap::Builder::~Builder() = default;
SymbolMap::Builder::Builder(Builder&&) noexcept = default;
SymbolMap::Builder& SymbolMap::Builder::operator=(Builder&&) noexcept = default;

void SymbolMap::Builder::AddLine(std::string_view line) { state_->reader.AddLine(line); }

SymbolMap SymbolMap::Builder::Finish() {
  State& s = *state_;
  s.builder.Append(s.rows);
  const SymbolReaderState end = s.reader.Leave();
  SymbolMap map = s.builder.Finish(end.table.HeaderFound() ? end.table.Segments() : std::vector<MapSegment>());
  state_ = std::make_unique<State>();
  return map;
}

SymbolMap::SymbolMap() : data_(std::make_unique<SymbolMapData>()) {}
SymbolMap::SymbolMap(std::unique_ptr<SymbolMapData> data) : data_(std::move(data)) {}
SymbolMap::~SymbolMap() = default;
SymbolMap::SymbolMap(SymbolMap&&) noexcept = default;
SymbolMap& SymbolMap::operator=(SymbolMap&&) noexcept = default;

SymbolMap SymbolMap::FromText(std::string_view text) { return ReadSymbolMap(text); }

SymbolMap SymbolMap::Load(const std::string& fileName, const FileSystem& fs, const LineTableLoadOptions& options) {
  // Read piece by piece through reused buffers, never the whole file.
  const std::unique_ptr<FileReader> file = fs.OpenForReading(fileName);
  return ReadSymbolMap(*file, fs.FileSize(fileName), options);
}

uint64_t SymbolMap::ImageBase() const { return data_->imageBase; }

bool SymbolMap::HasSegmentTable() const { return data_->segmentTable; }

const std::vector<CodeSegment>& SymbolMap::CodeSegments() const { return data_->codeSegments; }

namespace {

// The code segment holding an address; kNoIndex when none does.
uint32_t SegmentAt(const SymbolMapData& d, uint64_t address) {
  const auto it = std::upper_bound(d.byStart.begin(), d.byStart.end(), address,
                                   [&](uint64_t a, uint32_t k) { return a < d.codeSegments[k].start; });
  if (it == d.byStart.begin()) return kNoIndex;
  const CodeSegment& s = d.codeSegments[*(it - 1)];
  return address - s.start < s.length ? *(it - 1) : kNoIndex;
}

// In a range sorted by offset: the first entry of the greatest offset at or
// below `offset`; `end` when there is none. A search without branches on the
// data, each step fetching both places the next one may look at: the ranges
// are large, and their memory is the cost.
template <typename T>
const T* LastAtOrBelow(const T* begin, const T* end, uint64_t offset) {
  if (begin == end || begin->offset > offset) return end;
  const T* at = begin;
  for (std::size_t n = static_cast<std::size_t>(end - begin); n > 1;) {
    const std::size_t half = n / 2;
#if defined(__GNUC__)
    __builtin_prefetch(at + half / 2);
    __builtin_prefetch(at + half + half / 2);
#endif
    at = at[half].offset <= offset ? at + half : at;
    n -= half;
  }
  // The first of equal offsets: usually the one found, else a few before it.
  const uint32_t found = at->offset;
  for (int k = 0; k < 8; ++k) {
    if (at == begin || (at - 1)->offset != found) return at;
    --at;
  }
  return std::lower_bound(begin, at, found, [](const T& e, uint32_t o) { return e.offset < o; });
}

// A pair with its file.
struct FiledLine {
  const LinePair* pair = nullptr;
  uint32_t file = kNoIndex;
};

FiledLine Filed(const SegmentSymbols& s, std::size_t group, const LinePair* pair) {
  // The run holding the pair: the last one of its group starting at or
  // before it.
  const auto index = static_cast<uint64_t>(pair - s.groups[group].begin);
  const auto first = s.files.begin() + s.groups[group].files;
  const auto last = s.files.begin() + s.groups[group + 1].files;
  const auto run =
      std::upper_bound(first, last, index, [](uint64_t i, const FileRun& r) { return i < r.first; });
  return {pair, (run - 1)->id};
}

FiledLine Filed(const GapLine& g) { return g.found ? FiledLine{&g.pair, g.file} : FiledLine{}; }

// The line of an offset in the stretch `stretch`, which no unit owns: the
// pairs of all sections around it, the greatest at or below it and the least
// above it, must share their file.
FiledLine LineOutsideUnits(const SegmentSymbols& s, uint32_t stretch, uint64_t offset) {
  const std::size_t group = s.units.size();
  const LinePair* begin = s.groups[group].begin;
  const LinePair* end = s.groups[group].end;
  const uint64_t from = stretch == 0 ? 0 : s.cuts[stretch - 1];
  const bool last = stretch == s.cuts.size();
  const LinePair* below = LastAtOrBelow(begin, end, offset);
  const FiledLine low =
      below != end && below->offset >= from ? Filed(s, group, below) : Filed(s.gapBelow[stretch]);
  const LinePair* above =
      std::upper_bound(begin, end, offset, [](uint64_t o, const LinePair& p) { return o < p.offset; });
  const FiledLine high = above != end && (last || above->offset < s.cuts[stretch]) ? Filed(s, group, above)
                                                                                   : Filed(s.gapAbove[stretch]);
  return low.pair != nullptr && high.pair != nullptr && low.file == high.file ? low : FiledLine{};
}

}  // namespace

bool SymbolMap::InCode(uint64_t address) const { return SegmentAt(*data_, address) != kNoIndex; }

Symbolized SymbolMap::Symbolize(uint64_t address) const {
  Symbolized out;
  out.address = address;
  const SymbolMapData& d = *data_;
  const uint32_t k = SegmentAt(d, address);
  if (k == kNoIndex) return out;
  const CodeSegment& seg = d.codeSegments[k];
  const SegmentSymbols& s = d.symbols[k];
  const uint64_t offset = address - seg.start;
  out.inCode = true;
  out.segment = seg.name;

  const auto stretch = static_cast<uint32_t>(std::upper_bound(s.cuts.begin(), s.cuts.end(), offset) - s.cuts.begin());
  const uint32_t owner = stretch == 0 ? kNoIndex : s.owners[stretch - 1];
  const uint64_t floor = owner == kNoIndex ? 0 : s.units[owner].start;
  if (owner != kNoIndex) out.unit = d.names.Name(s.units[owner].module);

  const Public* publicsEnd = s.publics.data() + s.publics.size();
  const Public* pub = LastAtOrBelow(s.publics.data(), publicsEnd, offset);
  if (pub != publicsEnd && pub->offset >= floor) {
    out.function = std::string_view(d.publicNames).substr(pub->nameStart, pub->nameLength);
    out.functionOffset = offset - pub->offset;
  }

  FiledLine line;
  if (owner != kNoIndex) {
    // A unit's group holds only pairs inside it.
    const PairGroup& group = s.groups[owner];
    const LinePair* hit = LastAtOrBelow(group.begin, group.end, offset);
    if (hit != group.end) line = Filed(s, owner, hit);
  } else {
    line = LineOutsideUnits(s, stretch, offset);
  }
  if (line.pair != nullptr) {
    out.file = d.names.Name(line.file);
    out.line = line.pair->line;
  }
  return out;
}

std::vector<Symbolized> SymbolMap::Symbolize(const std::vector<uint64_t>& addresses) const {
  std::vector<std::pair<uint64_t, std::size_t>> sorted(addresses.size());
  for (std::size_t i = 0; i < addresses.size(); ++i) sorted[i] = {addresses[i], i};
  std::sort(sorted.begin(), sorted.end());
  std::vector<Symbolized> answers(addresses.size());
  for (const auto& [address, index] : sorted) answers[index] = Symbolize(address);
  return answers;
}

}  // namespace qf
