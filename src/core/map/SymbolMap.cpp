#include "map/SymbolMap.h"

#include <algorithm>
#include <utility>

#include "base/ParallelShares.h"
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

// Where offset would lie in [lo, hi] if the offsets rose evenly from lo's
// to hi's (lo's offset at or below it, hi's above).
template <typename T>
const T* EvenGuess(const T* lo, const T* hi, uint64_t offset) {
  const double share = static_cast<double>(offset - lo->offset) / static_cast<double>(hi->offset - lo->offset);
  const auto span = static_cast<std::size_t>(hi - lo);
  return lo + std::min(span, static_cast<std::size_t>(share * static_cast<double>(span)));
}

// The memory LastAtOrBelow will read first; nullptr when it reads nothing
// more than the range's ends.
template <typename T>
const void* SearchStart(const T* begin, const T* end, uint64_t offset) {
  if (begin == end || begin->offset > offset || (end - 1)->offset <= offset) return nullptr;
  return EvenGuess(begin, end - 1, offset);
}

// In a range sorted by offset: the first entry of the greatest offset at or
// below `offset`; `end` when there is none. The offsets of code rise fairly
// evenly, so the search starts where `offset` would lie if they rose exactly
// evenly and widens from there step by doubling step until it brackets it:
// most searches read one or two cache lines (the range is large and its
// memory is the cost), none more than about twice the steps of a plain
// binary search.
template <typename T>
const T* LastAtOrBelow(const T* begin, const T* end, uint64_t offset) {
  if (begin == end || begin->offset > offset) return end;
  const T* at = end - 1;
  if (at->offset > offset) {
    // Bracketed by lo (at or below) and hi (above).
    const T* lo = begin;
    const T* hi = at;
    const T* guess = EvenGuess(lo, hi, offset);
    std::size_t step = 1;
    if (guess->offset <= offset) {
      for (lo = guess; step < static_cast<std::size_t>(hi - lo) && lo[step].offset <= offset; step *= 2) lo += step;
      if (step < static_cast<std::size_t>(hi - lo)) hi = lo + step;
    } else {
      for (hi = guess; step < static_cast<std::size_t>(hi - lo) && (hi - step)->offset > offset; step *= 2) hi -= step;
      if (step < static_cast<std::size_t>(hi - lo)) lo = hi - step;
    }
    at = lo;
    for (std::size_t n = static_cast<std::size_t>(hi - lo); n > 1;) {
      const std::size_t half = n / 2;
      at = at[half].offset <= offset ? at + half : at;
      n -= half;
    }
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

// Where an address lies, found from the map's small arrays (segments and
// cuts): what its answer needs before the large arrays are read.
struct Place {
  uint32_t segment = kNoIndex;  // kNoIndex: in no code segment
  uint64_t offset = 0;
  uint32_t stretch = 0;
  uint32_t owner = kNoIndex;
};

Place PlaceOf(const SymbolMapData& d, uint64_t address) {
  Place p;
  p.segment = SegmentAt(d, address);
  if (p.segment == kNoIndex) return p;
  const SegmentSymbols& s = d.symbols[p.segment];
  p.offset = address - d.codeSegments[p.segment].start;
  p.stretch = static_cast<uint32_t>(std::upper_bound(s.cuts.begin(), s.cuts.end(), p.offset) - s.cuts.begin());
  p.owner = p.stretch == 0 ? kNoIndex : s.owners[p.stretch - 1];
  return p;
}

// The memory of the large arrays the answer at a place reads first (the
// publics and the owner's pairs where their searches start), for a prefetch.
// (The prefetch itself stays in the caller: a function doing nothing else
// counts as free of effects for the compiler, and its calls are dropped.)
std::pair<const void*, const void*> SearchStarts(const SymbolMapData& d, const Place& p) {
  if (p.segment == kNoIndex) return {nullptr, nullptr};
  const SegmentSymbols& s = d.symbols[p.segment];
  const void* publics = SearchStart(s.publics.data(), s.publics.data() + s.publics.size(), p.offset);
  if (p.owner == kNoIndex) return {publics, nullptr};
  return {publics, SearchStart(s.groups[p.owner].begin, s.groups[p.owner].end, p.offset)};
}

Symbolized Answer(const SymbolMapData& d, uint64_t address, const Place& p) {
  Symbolized out;
  out.address = address;
  if (p.segment == kNoIndex) return out;
  const CodeSegment& seg = d.codeSegments[p.segment];
  const SegmentSymbols& s = d.symbols[p.segment];
  const uint64_t offset = p.offset;
  out.inCode = true;
  out.segment = seg.name;

  const uint64_t floor = p.owner == kNoIndex ? 0 : s.units[p.owner].start;
  if (p.owner != kNoIndex) out.unit = d.names.Name(s.units[p.owner].module);

  const Public* publicsEnd = s.publics.data() + s.publics.size();
  const Public* pub = LastAtOrBelow(s.publics.data(), publicsEnd, offset);
  if (pub != publicsEnd && pub->offset >= floor) {
    out.function = std::string_view(d.publicNames).substr(pub->nameStart, pub->nameLength);
    out.functionOffset = offset - pub->offset;
  }

  FiledLine line;
  if (p.owner != kNoIndex) {
    // A unit's group holds only pairs inside it.
    const PairGroup& group = s.groups[p.owner];
    const LinePair* hit = LastAtOrBelow(group.begin, group.end, offset);
    if (hit != group.end) line = Filed(s, p.owner, hit);
  } else {
    line = LineOutsideUnits(s, p.stretch, offset);
  }
  if (line.pair != nullptr) {
    out.file = d.names.Name(line.file);
    out.line = line.pair->line;
  }
  return out;
}

// Gathers the pieces of one answer into runs as long as the answer stays
// the same, and hands each run on when it ends. A piece is written in place
// (Next) and then added (Commit): the runs are not copied.
class RunJoiner {
 public:
  explicit RunJoiner(const std::function<void(const SymbolRun&)>& visit) : visit_(visit) {}
  ~RunJoiner() { Flush(); }
  RunJoiner(const RunJoiner&) = delete;
  RunJoiner& operator=(const RunJoiner&) = delete;

  // The piece to fill in, every field of it, before Commit.
  SymbolRun& Next() { return runs_[1 - open_run_]; }
  void Commit() {
    SymbolRun& run = runs_[open_run_];
    const SymbolRun& piece = runs_[1 - open_run_];
    if (open_ && run.end == piece.start && Same(run, piece)) {
      run.end = piece.end;
      return;
    }
    Flush();
    open_run_ = 1 - open_run_;
    open_ = true;
  }
  void Flush() {
    if (open_) visit_(runs_[open_run_]);
    open_ = false;
  }

 private:
  // Names are held once each in the map, so equal names are equal views.
  static bool SameView(const std::optional<std::string_view>& a, const std::optional<std::string_view>& b) {
    return a.has_value() == b.has_value() && (!a || (a->data() == b->data() && a->size() == b->size()));
  }
  static bool Same(const SymbolRun& a, const SymbolRun& b) {
    return SameView(a.unit, b.unit) && SameView(a.function, b.function) && a.functionStart == b.functionStart &&
           SameView(a.file, b.file) && a.line == b.line;
  }

  const std::function<void(const SymbolRun&)>& visit_;
  SymbolRun runs_[2];
  int open_run_ = 0;  // the run being joined: runs_[open_run_]
  bool open_ = false;
};

// The first entry above offset in a range sorted by offset (the first of the
// next greater offset).
template <typename T>
const T* FirstAbove(const T* begin, const T* end, uint64_t offset) {
  return std::upper_bound(begin, end, offset, [](uint64_t o, const T& e) { return o < e.offset; });
}

// FirstAbove for a cursor that walks the range in order: the answer is
// mostly one of the next few entries, read before any search of the rest.
template <typename T>
const T* NextAbove(const T* at, const T* end, uint64_t offset) {
  for (int k = 0; k < 4 && at != end; ++k, ++at) {
    if (at->offset > offset) return at;
  }
  return FirstAbove(at, end, offset);
}

// The runs of segment k at offsets below limit, as Answer gives them: in
// each stretch a unit owns, a piece from each public on (the first of those
// at one offset, if it lies in the unit), cut again at each line pair of the
// unit (the first of those at one offset).
void RunsOfSegment(const SymbolMapData& d, uint32_t k, uint64_t limit, RunJoiner& joiner) {
  const CodeSegment& seg = d.codeSegments[k];
  const SegmentSymbols& s = d.symbols[k];
  const Public* publicsBegin = s.publics.data();
  const Public* publicsEnd = publicsBegin + s.publics.size();
  for (std::size_t t = 1; t <= s.cuts.size(); ++t) {
    const uint64_t lo = s.cuts[t - 1];
    if (lo >= limit) break;
    const uint64_t hi = std::min(t < s.cuts.size() ? s.cuts[t] : limit, limit);
    const uint32_t owner = s.owners[t - 1];
    if (owner == kNoIndex) continue;
    const UnitRow& unit = s.units[owner];
    const PairGroup& group = s.groups[owner];
    // What the pieces of the stretch carry from one to the next.
    const std::string_view unitName = d.names.Name(unit.module);
    std::string_view function;  // with haveFunction
    bool haveFunction = false;
    uint64_t functionStart = 0;
    bool sharedStart = false;
    uint32_t fileNumber = 0;
    const Public* pub = LastAtOrBelow(publicsBegin, publicsEnd, lo);
    const Public* nextPub = FirstAbove(publicsBegin, publicsEnd, lo);
    for (uint64_t a = lo; a < hi;) {
      const uint64_t b = nextPub != publicsEnd ? std::min<uint64_t>(nextPub->offset, hi) : hi;
      haveFunction = false;
      sharedStart = false;
      if (pub != publicsEnd && pub->offset >= unit.start) {
        haveFunction = true;
        function = std::string_view(d.publicNames).substr(pub->nameStart, pub->nameLength);
        functionStart = seg.start + pub->offset;
        sharedStart = pub + 1 != publicsEnd && pub[1].offset == pub->offset;
      }
      // The lines of [a, b).
      const LinePair* pair = LastAtOrBelow(group.begin, group.end, a);
      const LinePair* nextPair = FirstAbove(group.begin, group.end, a);
      for (uint64_t x = a; x < b;) {
        const uint64_t y = nextPair != group.end ? std::min<uint64_t>(nextPair->offset, b) : b;
        SymbolRun& piece = joiner.Next();
        piece.unit = unitName;
        // Set in place: an optional made aside and copied in stalls on
        // reading back what was just stored.
        if (haveFunction) {
          piece.function.emplace(function);
        } else {
          piece.function.reset();
        }
        piece.functionStart = functionStart;
        piece.sharedStart = sharedStart;
        piece.file.reset();
        piece.line.reset();
        if (pair != group.end) {
          const FiledLine line = Filed(s, owner, pair);
          piece.file = d.names.Name(line.file);
          piece.line = pair->line;
          fileNumber = d.sourceNumber[line.file];
        }
        piece.fileNumber = fileNumber;
        piece.start = seg.start + x;
        piece.end = seg.start + y;
        joiner.Commit();
        x = y;
        if (x < b) {
          pair = nextPair;
          nextPair = NextAbove(nextPair, group.end, nextPair->offset);
        }
      }
      a = b;
      if (a < hi) {
        pub = nextPub;
        nextPub = NextAbove(nextPub, publicsEnd, nextPub->offset);
      }
    }
  }
}

}  // namespace

bool SymbolMap::WideStarts() const { return data_->wideStarts; }

const std::vector<std::string_view>& SymbolMap::SourceFiles() const { return data_->sourceFiles; }

void SymbolMap::ForEachCodePublic(const std::function<void(uint64_t, std::string_view, uint64_t)>& visit) const {
  const SymbolMapData& d = *data_;
  for (const uint32_t i : d.byStart) {
    const CodeSegment& seg = d.codeSegments[i];
    for (const Public& pub : d.symbols[i].publics)
      visit(seg.start + pub.offset, std::string_view(d.publicNames).substr(pub.nameStart, pub.nameLength),
            seg.start + seg.length);
  }
}

void SymbolMap::ForEachRunInUnits(const std::function<void(const SymbolRun&)>& visit) const {
  const SymbolMapData& d = *data_;
  RunJoiner joiner(visit);
  for (std::size_t i = 0; i < d.byStart.size(); ++i) {
    const CodeSegment& seg = d.codeSegments[d.byStart[i]];
    // The offsets SegmentAt gives this segment: inside its length, below the
    // next segment's start, and short of the end of the address space.
    uint64_t limit = seg.length;
    if (i + 1 < d.byStart.size()) limit = std::min(limit, d.codeSegments[d.byStart[i + 1]].start - seg.start);
    if (seg.start != 0) limit = std::min(limit, UINT64_MAX - seg.start + 1);
    RunsOfSegment(d, d.byStart[i], limit, joiner);
  }
}

bool SymbolMap::InCode(uint64_t address) const { return SegmentAt(*data_, address) != kNoIndex; }

Symbolized SymbolMap::Symbolize(uint64_t address) const { return Answer(*data_, address, PlaceOf(*data_, address)); }

std::vector<Symbolized> SymbolMap::Symbolize(const std::vector<uint64_t>& addresses) const {
  const SymbolMapData& d = *data_;
  std::vector<std::pair<uint64_t, std::size_t>> sorted(addresses.size());
  for (std::size_t i = 0; i < addresses.size(); ++i) sorted[i] = {addresses[i], i};
  std::sort(sorted.begin(), sorted.end());
  std::vector<Place> places(sorted.size());
  for (std::size_t i = 0; i < sorted.size(); ++i) places[i] = PlaceOf(d, sorted[i].first);
  std::vector<Symbolized> answers(addresses.size());
  // The answers of sorted[from, to), in address order, each one's memory
  // asked for a few answers ahead: the fetches overlap instead of waiting
  // one after another.
  const auto answerRange = [&](std::size_t from, std::size_t to) {
    constexpr std::size_t kAhead = 32;
    for (std::size_t i = from; i < to; ++i) {
#if defined(__GNUC__)
      if (i + kAhead < to) {
        const auto [publics, pairs] = SearchStarts(d, places[i + kAhead]);
        if (publics != nullptr) __builtin_prefetch(publics);
        if (pairs != nullptr) __builtin_prefetch(pairs);
      }
#endif
      Symbolized& answer = answers[sorted[i].second];
      answer = Answer(d, sorted[i].first, places[i]);
#if defined(__GNUC__)
      // The function's name is read when the answer is written out.
      if (answer.function) __builtin_prefetch(answer.function->data());
#endif
    }
  };
  // Many answers are shared out among the processors, each a stretch of
  // addresses.
  RunInShares(sorted.size(), 4096, [&](std::size_t, std::size_t from, std::size_t to) { answerRange(from, to); });
  return answers;
}

}  // namespace qf
