#include "map/SymbolMap.h"

#include <algorithm>
#include <limits>
#include <unordered_map>

#include "base/Errors.h"
#include "base/LineIterator.h"
#include "base/LineReader.h"
#include "map/MapSegments.h"
#include "map/MapSymbolRows.h"
#include "base/TextFile.h"
#include "base/TextRules.h"

namespace qf {
namespace {

constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kOldLayoutImageBase = 0x400000;
constexpr uint64_t kOldLayoutCodeStart = 0x401000;
constexpr uint64_t kCodeStartFromBase = 0x1000;

// Names stored once each, handed out by number; views stay valid because the
// map's nodes never move.
class NamePool {
 public:
  uint32_t Intern(std::string_view name) {
    const auto found = index_.find(std::string(name));
    if (found != index_.end()) return found->second;
    const auto id = static_cast<uint32_t>(names_.size());
    const auto inserted = index_.emplace(std::string(name), id).first;
    names_.push_back(inserted->first);
    return id;
  }
  std::string_view Name(uint32_t id) const { return names_[id]; }

 private:
  std::unordered_map<std::string, uint32_t> index_;
  std::vector<std::string_view> names_;
};

// The form in which a module name and a line-number section's names are
// compared: A-Z folded to a-z, "/" read as "\".
std::string MatchKey(std::string_view name) {
  std::string key = LowerCase(name);
  std::replace(key.begin(), key.end(), '/', '\\');
  return key;
}

struct UnitRow {
  uint64_t start = 0;
  uint64_t end = 0;
  uint32_t module = 0;  // exact name
  uint32_t key = 0;     // match key of the name
};

struct Section {
  uint32_t source = 0;  // exact SOURCE
  uint32_t unitKey = 0;
  uint32_t sourceKey = 0;
};

// A public function: its offset and its name in the name text.
struct Public {
  uint32_t offset = 0;
  uint32_t nameStart = 0;
  uint32_t nameLength = 0;
};

// A line-number pair; its file is kept once per run of pairs (FileRun).
struct LinePair {
  uint32_t offset = 0;
  int32_t line = 0;
};

// From `first` on (a pair's index), the pairs belong to `id`: a section while
// reading, the SOURCE name's number once finished.
struct FileRun {
  uint64_t first = 0;
  uint32_t id = 0;
};

// A pair with its file, while a group out of order is sorted.
struct FiledPair {
  LinePair pair;
  uint32_t file = 0;
};

// A list that grows in blocks: no copy and no doubled capacity while a large
// file is read.
template <typename T>
class BlockList {
 public:
  void push_back(const T& value) {
    if (blocks_.empty() || blocks_.back().size() == kBlock) {
      blocks_.emplace_back();
      blocks_.back().reserve(kBlock);
    }
    blocks_.back().push_back(value);
    ++size_;
  }
  std::size_t size() const { return size_; }
  template <typename F>
  void ForEach(F&& f) const {
    for (const std::vector<T>& b : blocks_) {
      for (const T& v : b) f(v);
    }
  }
  void clear() {
    blocks_.clear();
    size_ = 0;
  }

 private:
  static constexpr std::size_t kBlock = 1 << 16;
  std::vector<std::vector<T>> blocks_;
  std::size_t size_ = 0;
};

struct GapLine {
  bool found = false;
  LinePair pair;
  uint32_t file = 0;
};

// The pairs of one code segment as read, in file order.
struct RawPairs {
  BlockList<LinePair> pairs;
  std::vector<FileRun> sections;

  void Add(const LinePair& pair, uint32_t section) {
    if (sections.empty() || sections.back().id != section) sections.push_back({pairs.size(), section});
    pairs.push_back(pair);
  }
  // f(pair, section) for every pair in file order.
  template <typename F>
  void ForEach(F&& f) const {
    std::size_t run = 0;
    uint64_t index = 0;
    pairs.ForEach([&](const LinePair& p) {
      while (run + 1 < sections.size() && sections[run + 1].first <= index) ++run;
      f(p, sections[run].id);
      ++index;
    });
  }
};

// Everything known about one code segment.
struct SegmentSymbols {
  std::vector<UnitRow> units;     // file order
  // The offsets where the owning unit changes, and the owner from each of
  // them on (kNone: no unit). Before the first cut no unit owns an offset.
  std::vector<uint64_t> cuts;
  std::vector<uint32_t> owners;
  std::vector<Public> publics;    // by offset, file order kept on ties
  // Pairs grouped by the unit that answers with them (unit order; the last
  // group holds the pairs in no unit), by offset within a group.
  std::vector<LinePair> pairs;
  std::vector<FileRun> files;        // runs over `pairs`, each group starting one
  std::vector<uint32_t> groupBegin;  // units.size() + 2 entries
  // For each cut owned by no unit: the last pair before it.
  std::vector<GapLine> gapLines;
};

}  // namespace

struct SymbolMap::Data {
  uint64_t imageBase = kOldLayoutImageBase;
  bool segmentTable = false;               // the table's header and at least one row
  std::vector<CodeSegment> codeSegments;   // table order
  std::vector<uint32_t> byStart;           // indexes sorted by start
  std::vector<SegmentSymbols> symbols;     // parallel to codeSegments
  NamePool names;                          // modules and sources, exact
  std::string publicNames;
};

struct SymbolMap::Builder::State {
  enum class Mode { Idle, Units, Publics, LinesHeader, Lines };

  SegmentTableReader table;
  bool tableSettled = false;
  Mode mode = Mode::Idle;
  std::unique_ptr<Data> data = std::make_unique<Data>();
  // Code segment index by segment number (kNone: not code).
  std::vector<uint32_t> codeIndex;
  std::vector<RawPairs> pairs;  // per code segment
  NamePool keys;
  std::vector<Section> sections;
  std::unordered_map<uint64_t, uint32_t> sectionIndex;
  uint32_t section = 0;

  uint32_t CodeIndex(uint32_t segmentNumber) const {
    return segmentNumber < codeIndex.size() ? codeIndex[segmentNumber] : kNone;
  }

  void SettleTable() {
    tableSettled = true;
    const std::vector<MapSegment> rows = table.TakeSegments();
    data->segmentTable = !rows.empty();
    const MapSegment* code = FirstCodeSegment(rows);
    if (code == nullptr) return;
    codeIndex.assign(0x10000, kNone);
    const auto add = [&](const MapSegment& row, uint64_t start) {
      const uint32_t number = SegmentNumberOf(row.id);
      if (codeIndex[number] != kNone) return;  // a number listed twice keeps its first row
      codeIndex[number] = static_cast<uint32_t>(data->codeSegments.size());
      data->codeSegments.push_back(CodeSegment{row.id, row.name, start, row.length});
    };
    if (code->start != 0) {
      data->imageBase = code->start - kCodeStartFromBase;
      for (const MapSegment& row : rows) {
        if (IsCodeClass(row.cls)) add(row, row.start);
      }
    } else {
      add(*code, kOldLayoutCodeStart);
    }
    data->symbols.resize(data->codeSegments.size());
    pairs.resize(data->codeSegments.size());
  }

  void StartSection(std::string_view header) {
    const LineSectionNames n = ParseLineSectionHeader(header);
    Section s;
    s.source = data->names.Intern(n.source);
    s.unitKey = keys.Intern(MatchKey(n.unit));
    s.sourceKey = keys.Intern(MatchKey(n.source));
    const uint64_t id = (static_cast<uint64_t>(s.unitKey) << 32) | s.source;
    const auto found = sectionIndex.find(id);
    if (found != sectionIndex.end()) {
      section = found->second;
      return;
    }
    section = static_cast<uint32_t>(sections.size());
    sections.push_back(s);
    sectionIndex.emplace(id, section);
  }

  void AddUnit(const UnitRowText& row) {
    const uint32_t k = CodeIndex(row.segment);
    if (k == kNone) return;
    UnitRow u;
    u.start = row.offset;
    u.end = row.offset + row.length;
    u.module = data->names.Intern(row.module);
    u.key = keys.Intern(MatchKey(row.module));
    data->symbols[k].units.push_back(u);
  }

  void AddPublic(const PublicRowText& row) {
    const uint32_t k = CodeIndex(row.segment);
    if (k == kNone || row.offset > kNone) return;
    if (row.name.find("..") != std::string_view::npos) return;  // type information
    if (data->publicNames.size() + row.name.size() > kNone) return;
    Public p;
    p.offset = static_cast<uint32_t>(row.offset);
    p.nameStart = static_cast<uint32_t>(data->publicNames.size());
    p.nameLength = static_cast<uint32_t>(row.name.size());
    data->publicNames.append(row.name);
    data->symbols[k].publics.push_back(p);
  }

  // Reads the pairs of a line; false when it holds none.
  bool AddPairs(std::string_view line) {
    bool any = false;
    LinePairReader reader(line);
    LinePairText pair;
    while (reader.Next(pair)) {
      any = true;
      const uint32_t k = CodeIndex(pair.segment);
      if (k == kNone || pair.offset > kNone) continue;
      pairs[k].Add(LinePair{static_cast<uint32_t>(pair.offset), pair.line}, section);
    }
    return any;
  }

  void AddLine(std::string_view line) {
    if (!tableSettled) {
      if (!table.AddLine(line)) {
        SettleTable();
      } else {
        return;
      }
    }
    // A line that ends one kind of rows is read again as the start of what
    // follows.
    for (;;) {
      switch (mode) {
        case Mode::Idle:
          ReadIdle(line);
          return;
        case Mode::Units:
          if (IsBlank(line)) return;
          if (const auto row = ParseUnitRow(line)) {
            AddUnit(*row);
            return;
          }
          break;
        case Mode::Publics:
          if (IsBlank(line)) return;
          if (const auto row = ParsePublicRow(line)) {
            AddPublic(*row);
            return;
          }
          break;
        case Mode::LinesHeader:
          if (IsBlank(line)) return;
          if (AddPairs(line)) {
            mode = Mode::Lines;
            return;
          }
          break;
        case Mode::Lines:
          if (IsBlank(line)) {
            mode = Mode::Idle;
            return;
          }
          if (AddPairs(line)) return;
          break;
      }
      mode = Mode::Idle;
    }
  }

  void ReadIdle(std::string_view line) {
    const std::string_view t = TrimView(line);
    if (t.empty()) return;
    if (StartsWith(t, "Line numbers for ")) {
      StartSection(t);
      mode = Mode::LinesHeader;
    } else if (StartsWith(t, "Detailed map of segments")) {
      mode = Mode::Units;
    } else if (t.find("Publics by Value") != std::string_view::npos && !ParsePublicRow(t)) {
      mode = Mode::Publics;
    }
  }

  SymbolMap Finish();
  void FinishSegment(std::size_t k);
};

namespace {

// The interval map of a segment's units: for every offset the first row in
// file order whose range holds it.
void BuildOwners(SegmentSymbols& s) {
  struct Edge {
    uint64_t at;
    uint32_t row;
    bool opens;
  };
  std::vector<Edge> edges;
  for (uint32_t r = 0; r < s.units.size(); ++r) {
    if (s.units[r].end <= s.units[r].start) continue;
    edges.push_back({s.units[r].start, r, true});
    edges.push_back({s.units[r].end, r, false});
  }
  std::sort(edges.begin(), edges.end(), [](const Edge& a, const Edge& b) { return a.at < b.at; });
  // Open rows as a sorted list would cost a scan for nested ranges; a heap
  // of open rows with closed ones dropped lazily keeps it n log n.
  std::vector<uint32_t> open;  // min-heap by row number
  std::vector<char> closed(s.units.size(), 0);
  const auto later = [](uint32_t a, uint32_t b) { return a > b; };
  for (std::size_t i = 0; i < edges.size();) {
    const uint64_t at = edges[i].at;
    for (; i < edges.size() && edges[i].at == at; ++i) {
      if (edges[i].opens) {
        closed[edges[i].row] = 0;
        open.push_back(edges[i].row);
        std::push_heap(open.begin(), open.end(), later);
      } else {
        closed[edges[i].row] = 1;
      }
    }
    while (!open.empty() && closed[open.front()]) {
      std::pop_heap(open.begin(), open.end(), later);
      open.pop_back();
    }
    const uint32_t owner = open.empty() ? kNone : open.front();
    if (s.owners.empty() || s.owners.back() != owner) {
      s.cuts.push_back(at);
      s.owners.push_back(owner);
    }
  }
}

// The index of the cut at or below an offset; kNone before the first cut.
uint32_t CutAt(const SegmentSymbols& s, uint64_t offset) {
  const auto it = std::upper_bound(s.cuts.begin(), s.cuts.end(), offset);
  if (it == s.cuts.begin()) return kNone;
  return static_cast<uint32_t>(it - s.cuts.begin() - 1);
}

uint32_t OwnerAt(const SegmentSymbols& s, uint64_t offset) {
  const uint32_t cut = CutAt(s, offset);
  return cut == kNone ? kNone : s.owners[cut];
}

// In a range sorted by offset: the first entry of the greatest offset at or
// below `offset`; `end` when there is none.
template <typename It>
It LastAtOrBelow(It begin, It end, uint64_t offset) {
  const auto byOffset = [](uint64_t o, const auto& e) { return o < e.offset; };
  It it = std::upper_bound(begin, end, offset, byOffset);
  if (it == begin) return end;
  --it;
  const uint32_t found = it->offset;
  return std::lower_bound(begin, it + 1, found, [](const auto& e, uint32_t o) { return e.offset < o; });
}

}  // namespace

void SymbolMap::Builder::State::FinishSegment(std::size_t k) {
  SegmentSymbols& s = data->symbols[k];
  CodeSegment& seg = data->codeSegments[k];
  for (const UnitRow& u : s.units) seg.length = std::max(seg.length, u.end);

  BuildOwners(s);

  const auto publicOrder = [](const Public& a, const Public& b) { return a.offset < b.offset; };
  if (!std::is_sorted(s.publics.begin(), s.publics.end(), publicOrder)) {
    std::stable_sort(s.publics.begin(), s.publics.end(), publicOrder);
  }
  s.publics.shrink_to_fit();

  // Each pair's group: the unit owning its offset when the pair's section
  // names that unit, the no-unit group when no unit owns it; otherwise it
  // never answers (it still counts as the last line before a gap).
  RawPairs& raw = pairs[k];
  const auto noUnit = static_cast<uint32_t>(s.units.size());
  const auto groupOf = [&](const LinePair& p, uint32_t section) {
    const uint32_t owner = OwnerAt(s, p.offset);
    if (owner == kNone) return noUnit;
    const Section& sec = sections[section];
    const uint32_t key = s.units[owner].key;
    return sec.unitKey == key || sec.sourceKey == key ? owner : kNone;
  };

  // The last pair before each cut owned by no unit: every pair is first put
  // to the first such cut above it, then each cut takes the greatest of its
  // own and the cuts below it (ties: the first in file order).
  std::vector<uint32_t> gapCuts;
  for (uint32_t c = 0; c < s.cuts.size(); ++c) {
    if (s.owners[c] == kNone) gapCuts.push_back(c);
  }
  std::vector<GapLine> below(gapCuts.size() + 1);
  std::vector<uint32_t> count(static_cast<std::size_t>(noUnit) + 1, 0);
  raw.ForEach([&](const LinePair& p, uint32_t section) {
    const auto above = std::upper_bound(gapCuts.begin(), gapCuts.end(), p.offset,
                                        [&](uint64_t o, uint32_t c) { return o < s.cuts[c]; });
    GapLine& slot = below[static_cast<std::size_t>(above - gapCuts.begin())];
    if (!slot.found || p.offset > slot.pair.offset) slot = GapLine{true, p, section};
    const uint32_t g = groupOf(p, section);
    if (g != kNone) ++count[g];
  });
  s.gapLines.assign(s.cuts.size(), GapLine{});
  GapLine best;
  for (std::size_t i = 0; i < gapCuts.size(); ++i) {
    if (below[i].found && (!best.found || below[i].pair.offset > best.pair.offset)) best = below[i];
    if (best.found) {
      s.gapLines[gapCuts[i]] = best;
      s.gapLines[gapCuts[i]].file = sections[best.file].source;
    }
  }

  // The groups in unit order, each in file order; a new file run wherever
  // the file changes within a group.
  s.groupBegin.assign(static_cast<std::size_t>(noUnit) + 2, 0);
  for (uint32_t g = 0; g <= noUnit; ++g) s.groupBegin[g + 1] = s.groupBegin[g] + count[g];
  std::vector<uint32_t>().swap(count);
  s.pairs.resize(s.groupBegin.back());
  std::vector<uint32_t> next(s.groupBegin.begin(), s.groupBegin.end() - 1);
  std::vector<std::vector<FileRun>> runs(static_cast<std::size_t>(noUnit) + 1);
  raw.ForEach([&](const LinePair& p, uint32_t section) {
    const uint32_t g = groupOf(p, section);
    if (g == kNone) return;
    const uint32_t file = sections[section].source;
    if (runs[g].empty() || runs[g].back().id != file) runs[g].push_back({next[g], file});
    s.pairs[next[g]++] = p;
  });
  raw = RawPairs();

  // Groups out of offset order are sorted with their files (stable: file
  // order stays on equal offsets) and get new runs.
  const auto byOffset = [](const LinePair& a, const LinePair& b) { return a.offset < b.offset; };
  for (uint32_t g = 0; g <= noUnit; ++g) {
    const uint32_t first = s.groupBegin[g], last = s.groupBegin[g + 1];
    if (std::is_sorted(s.pairs.begin() + first, s.pairs.begin() + last, byOffset)) continue;
    std::vector<FiledPair> filed;
    filed.reserve(last - first);
    std::size_t run = 0;
    for (uint32_t i = first; i < last; ++i) {
      while (run + 1 < runs[g].size() && runs[g][run + 1].first <= i) ++run;
      filed.push_back({s.pairs[i], runs[g][run].id});
    }
    std::stable_sort(filed.begin(), filed.end(),
                     [](const FiledPair& a, const FiledPair& b) { return a.pair.offset < b.pair.offset; });
    runs[g].clear();
    for (uint32_t i = first; i < last; ++i) {
      const FiledPair& f = filed[i - first];
      s.pairs[i] = f.pair;
      if (runs[g].empty() || runs[g].back().id != f.file) runs[g].push_back({i, f.file});
    }
  }
  for (const std::vector<FileRun>& r : runs) s.files.insert(s.files.end(), r.begin(), r.end());
}

SymbolMap SymbolMap::Builder::State::Finish() {
  if (!tableSettled) SettleTable();
  for (std::size_t k = 0; k < data->codeSegments.size(); ++k) FinishSegment(k);
  data->publicNames.shrink_to_fit();
  Data& d = *data;
  d.byStart.resize(d.codeSegments.size());
  for (uint32_t k = 0; k < d.byStart.size(); ++k) d.byStart[k] = k;
  std::stable_sort(d.byStart.begin(), d.byStart.end(), [&](uint32_t a, uint32_t b) {
    return d.codeSegments[a].start < d.codeSegments[b].start;
  });
  SymbolMap map;
  map.data_ = std::move(data);
  data = std::make_unique<Data>();
  return map;
}

SymbolMap::Builder::Builder() : state_(std::make_unique<State>()) {}
SymbolMap::Builder::~Builder() = default;
SymbolMap::Builder::Builder(Builder&&) noexcept = default;
SymbolMap::Builder& SymbolMap::Builder::operator=(Builder&&) noexcept = default;

void SymbolMap::Builder::AddLine(std::string_view line) { state_->AddLine(line); }

SymbolMap SymbolMap::Builder::Finish() {
  SymbolMap map = state_->Finish();
  state_ = std::make_unique<State>();
  return map;
}

SymbolMap::SymbolMap() : data_(std::make_unique<Data>()) {}
SymbolMap::~SymbolMap() = default;
SymbolMap::SymbolMap(SymbolMap&&) noexcept = default;
SymbolMap& SymbolMap::operator=(SymbolMap&&) noexcept = default;

SymbolMap SymbolMap::FromText(std::string_view text) {
  const auto nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  Builder builder;
  for (LineIterator it(text); !it.AtEnd(); ++it) builder.AddLine(*it);
  return builder.Finish();
}

SymbolMap SymbolMap::Load(const std::string& fileName, const FileSystem& fs) {
  // Read piece by piece through one reused buffer, never the whole file.
  const std::unique_ptr<FileReader> file = fs.OpenForReading(fileName);
  LineReader lines(*file);
  Builder builder;
  for (std::string_view line; lines.Next(line);) builder.AddLine(line);
  return builder.Finish();
}

uint64_t SymbolMap::ImageBase() const { return data_->imageBase; }

bool SymbolMap::HasSegmentTable() const { return data_->segmentTable; }

const std::vector<CodeSegment>& SymbolMap::CodeSegments() const { return data_->codeSegments; }

namespace {

// The code segment holding an address; kNone when none does.
uint32_t SegmentAt(const std::vector<CodeSegment>& segments, const std::vector<uint32_t>& byStart,
                   uint64_t address) {
  const auto it = std::upper_bound(byStart.begin(), byStart.end(), address,
                                   [&](uint64_t a, uint32_t k) { return a < segments[k].start; });
  if (it == byStart.begin()) return kNone;
  const CodeSegment& s = segments[*(it - 1)];
  return address - s.start < s.length ? *(it - 1) : kNone;
}

}  // namespace

bool SymbolMap::InCode(uint64_t address) const {
  return SegmentAt(data_->codeSegments, data_->byStart, address) != kNone;
}

Symbolized SymbolMap::Symbolize(uint64_t address) const {
  Symbolized out;
  out.address = address;
  const Data& d = *data_;
  const uint32_t k = SegmentAt(d.codeSegments, d.byStart, address);
  if (k == kNone) return out;
  const CodeSegment& seg = d.codeSegments[k];
  const SegmentSymbols& s = d.symbols[k];
  const uint64_t offset = address - seg.start;
  out.inCode = true;
  out.segment = seg.name;

  const uint32_t cut = CutAt(s, offset);
  const uint32_t owner = cut == kNone ? kNone : s.owners[cut];
  const uint64_t floor = owner == kNone ? 0 : s.units[owner].start;
  if (owner != kNone) out.unit = d.names.Name(s.units[owner].module);

  const auto pub = LastAtOrBelow(s.publics.begin(), s.publics.end(), offset);
  if (pub != s.publics.end() && pub->offset >= floor) {
    out.function = std::string_view(d.publicNames).substr(pub->nameStart, pub->nameLength);
    out.functionOffset = offset - pub->offset;
  }

  const uint32_t group = owner == kNone ? static_cast<uint32_t>(s.units.size()) : owner;
  const auto begin = s.pairs.begin() + s.groupBegin[group];
  const auto end = s.pairs.begin() + s.groupBegin[group + 1];
  const auto hit = LastAtOrBelow(begin, end, offset);
  // A unit's group holds only pairs inside it.
  const LinePair* line = hit != end ? &*hit : nullptr;
  uint32_t file = kNone;
  if (line != nullptr) {
    // The run holding the pair: the last one starting at or before it.
    const auto index = static_cast<uint64_t>(hit - s.pairs.begin());
    const auto run = std::upper_bound(s.files.begin(), s.files.end(), index,
                                      [](uint64_t i, const FileRun& r) { return i < r.first; });
    file = (run - 1)->id;
  }
  if (owner == kNone) {
    // Outside every unit: a pair of this gap, else the last pair before it.
    const uint64_t gapStart = cut == kNone ? 0 : s.cuts[cut];
    if (line != nullptr && line->offset < gapStart) line = nullptr;
    if (line == nullptr && cut != kNone && s.gapLines[cut].found) {
      line = &s.gapLines[cut].pair;
      file = s.gapLines[cut].file;
    }
  }
  if (line != nullptr) {
    out.file = d.names.Name(file);
    out.line = line->line;
  }
  return out;
}

}  // namespace qf
