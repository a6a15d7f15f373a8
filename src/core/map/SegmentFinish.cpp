// The arrays of one code segment: which unit owns each offset, the publics
// by offset, the pairs grouped by the unit that answers with them, and the
// pairs around each stretch of code no unit owns.
#include <algorithm>

#include "map/RawSegment.h"

namespace qf {
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
    const uint32_t owner = open.empty() ? kNoIndex : open.front();
    if (s.owners.empty() || s.owners.back() != owner) {
      s.cuts.push_back(at);
      s.owners.push_back(owner);
    }
  }
}

// The stretch of an offset: the number of cuts at or below it. Offsets come
// mostly in rising runs, so the bounds of the last stretch are kept and
// tried before a search.
class StretchCursor {
 public:
  explicit StretchCursor(const std::vector<uint64_t>& cuts) : cuts_(cuts) { MoveTo(0); }
  uint32_t Find(uint64_t offset) {
    if (offset < low_ || offset >= high_) {
      MoveTo(static_cast<uint32_t>(std::upper_bound(cuts_.begin(), cuts_.end(), offset) - cuts_.begin()));
    }
    return at_;
  }
  // The offsets of the stretch found last: [Low(), High()).
  uint64_t Low() const { return low_; }
  uint64_t High() const { return high_; }

 private:
  void MoveTo(uint32_t p) {
    at_ = p;
    low_ = p == 0 ? 0 : cuts_[p - 1];
    high_ = p == cuts_.size() ? UINT64_MAX : cuts_[p];
  }
  const std::vector<uint64_t>& cuts_;
  uint32_t at_ = 0;
  uint64_t low_ = 0, high_ = 0;
};

// Keeps the pair when it beats the one kept: the greatest (or least) offset,
// the first in file order on a tie.
void KeepGreatest(GapLine& kept, const LinePair& p, uint32_t section) {
  if (!kept.found || p.offset > kept.pair.offset) kept = GapLine{true, p, section};
}
void KeepLeast(GapLine& kept, const LinePair& p, uint32_t section) {
  if (!kept.found || p.offset < kept.pair.offset) kept = GapLine{true, p, section};
}

// A run of pairs in one stretch, [low, high): its length, its greatest and
// least pair (the first on a tie) and whether it is in order.
struct PairRun {
  std::size_t n = 1, most = 0, fewest = 0;
  bool sorted = true;
};

// The run from p[0] (inside the stretch) on, at most `limit` pairs. Runs are
// mostly in order, and while they are, a pair costs one comparison.
PairRun ScanRun(const LinePair* p, std::size_t limit, uint64_t low, uint64_t high) {
  PairRun r;
  while (r.n < limit && p[r.n].offset >= p[r.n - 1].offset && p[r.n].offset < high) ++r.n;
  uint32_t mostOffset = p[r.n - 1].offset;
  r.most = r.n - 1;
  while (r.most > 0 && p[r.most - 1].offset == mostOffset) --r.most;
  uint32_t fewestOffset = p[0].offset;
  for (; r.n < limit && p[r.n].offset >= low && p[r.n].offset < high; ++r.n) {
    const uint32_t o = p[r.n].offset;
    r.sorted = r.sorted && o >= p[r.n - 1].offset;
    if (o > mostOffset) mostOffset = o, r.most = r.n;
    if (o < fewestOffset) fewestOffset = o, r.fewest = r.n;
  }
  return r;
}

template <typename It>
void SortGroup(It first, It last, std::vector<FileRun>& runs, uint64_t at) {
  const auto byOffset = [](const LinePair& a, const LinePair& b) { return a.offset < b.offset; };
  if (std::is_sorted(first, last, byOffset)) return;
  // Sorted with their files (stable: file order stays on equal offsets),
  // then new runs.
  struct FiledPair {
    LinePair pair;
    uint32_t file;
  };
  std::vector<FiledPair> filed;
  filed.reserve(static_cast<std::size_t>(last - first));
  std::size_t run = 0;
  for (It i = first; i != last; ++i) {
    const uint64_t index = at + static_cast<uint64_t>(i - first);
    while (run + 1 < runs.size() && runs[run + 1].first <= index) ++run;
    filed.push_back({*i, runs[run].id});
  }
  std::stable_sort(filed.begin(), filed.end(),
                   [](const FiledPair& a, const FiledPair& b) { return a.pair.offset < b.pair.offset; });
  runs.clear();
  for (std::size_t i = 0; i < filed.size(); ++i) {
    first[static_cast<std::ptrdiff_t>(i)] = filed[i].pair;
    if (runs.empty() || runs.back().id != filed[i].file) runs.push_back({at + i, filed[i].file});
  }
}

}  // namespace

void FinishSegment(RawSegment& raw, const std::vector<SectionKeys>& sections, CodeSegment& segment,
                   SegmentSymbols& s) {
  s.units = std::move(raw.units);
  for (const UnitRow& u : s.units) segment.length = std::max(segment.length, u.end);
  BuildOwners(s);

  s.publics = std::move(raw.publics);
  const auto publicOrder = [](const Public& a, const Public& b) { return a.offset < b.offset; };
  if (!std::is_sorted(s.publics.begin(), s.publics.end(), publicOrder)) {
    std::stable_sort(s.publics.begin(), s.publics.end(), publicOrder);
  }
  s.publics.shrink_to_fit();

  // Each pair's group: the unit owning its offset when the pair's section
  // names that unit, the no-unit group when no unit owns it; otherwise it
  // never answers (it still counts around a stretch of no unit).
  const auto noUnit = static_cast<uint32_t>(s.units.size());
  const auto groupOf = [&](uint32_t stretch, uint32_t section) {
    const uint32_t owner = stretch == 0 ? kNoIndex : s.owners[stretch - 1];
    if (owner == kNoIndex) return noUnit;
    const SectionKeys& sec = sections[section];
    const uint32_t key = s.units[owner].key;
    return sec.unitKey == key || sec.sourceKey == key ? owner : kNoIndex;
  };
  // f(pairs, run, index, block, section, stretch, group) for the pairs of
  // indexes [from, to) in file order, walked in runs of one block, one
  // section and one stretch (pairs[0] is the pair at index).
  const PairBlocks& blocks = raw.pairs;
  std::vector<uint64_t> blockStart(blocks.BlockCount(), 0);
  for (std::size_t b = 1; b < blocks.BlockCount(); ++b) blockStart[b] = blockStart[b - 1] + blocks.BlockSize(b - 1);
  const auto visit = [&](uint64_t from, uint64_t to, auto&& f) {
    if (from >= to) return;
    std::size_t b = 0;
    std::size_t run = static_cast<std::size_t>(
        std::upper_bound(raw.sections.begin(), raw.sections.end(), from,
                         [](uint64_t i, const FileRun& r) { return i < r.first; }) - raw.sections.begin());
    if (run > 0) --run;
    StretchCursor cursor(s.cuts);
    for (uint64_t index = from; index < to;) {
      while (b + 1 < blockStart.size() && blockStart[b + 1] <= index) ++b;
      while (run + 1 < raw.sections.size() && raw.sections[run + 1].first <= index) ++run;
      uint64_t end = std::min<uint64_t>(to, blockStart[b] + blocks.BlockSize(b));
      if (run + 1 < raw.sections.size()) end = std::min(end, raw.sections[run + 1].first);
      const LinePair* block = blocks.Block(b);
      const uint64_t base = blockStart[b];
      const uint32_t section = raw.sections[run].id;
      uint32_t stretch = UINT32_MAX, group = kNoIndex;
      while (index < end) {
        const LinePair* p = block + (index - base);
        const uint32_t t = cursor.Find(p->offset);
        if (t != stretch) {
          stretch = t;
          group = groupOf(t, section);
        }
        const PairRun r = ScanRun(p, static_cast<std::size_t>(end - index), cursor.Low(), cursor.High());
        f(p, r, index, b, section, stretch, group);
        index += r.n;
      }
    }
  };

  // Each stretch keeps its greatest and least pair; a stretch of no unit
  // then takes the greatest below it and the least above it. Each group
  // learns whether its pairs lie in one block, in order, with no other pair
  // among them: they then stay where they were read.
  struct GroupScan {
    uint64_t first = 0, last = 0, count = 0;
    std::size_t block = 0;
    uint32_t lastOffset = 0;
    bool inPlace = true;
  };
  const std::size_t stretches = s.cuts.size() + 1;
  std::vector<GapLine> greatest(stretches), least(stretches);
  std::vector<GroupScan> scans(static_cast<std::size_t>(noUnit) + 1);
  const uint64_t pairCount = blockStart.empty() ? 0 : blockStart.back() + blocks.BlockSize(blockStart.size() - 1);
  visit(0, pairCount, [&](const LinePair* p, const PairRun& r, uint64_t index, std::size_t block, uint32_t section,
                          uint32_t stretch, uint32_t g) {
    const std::size_t n = r.n;
    const bool sorted = r.sorted;
    KeepGreatest(greatest[stretch], p[r.most], section);
    KeepLeast(least[stretch], p[r.fewest], section);
    if (g == kNoIndex) return;
    GroupScan& scan = scans[g];
    if (scan.count == 0) {
      scan.first = index;
      scan.block = block;
      scan.inPlace = sorted;
    } else if (!sorted || p[0].offset < scan.lastOffset || block != scan.block || index != scan.last + 1) {
      scan.inPlace = false;
    }
    scan.last = index + n - 1;
    scan.lastOffset = p[n - 1].offset;
    scan.count += n;
  });
  s.gapBelow.assign(stretches, GapLine{});
  s.gapAbove.assign(stretches, GapLine{});
  const auto isGap = [&](std::size_t stretch) { return stretch == 0 || s.owners[stretch - 1] == kNoIndex; };
  GapLine below;
  for (std::size_t t = 0; t < stretches; ++t) {
    if (isGap(t)) s.gapBelow[t] = below;
    if (greatest[t].found) below = greatest[t];  // stretches rise: the later one is greater
  }
  GapLine above;
  for (std::size_t t = stretches; t-- > 0;) {
    if (isGap(t)) s.gapAbove[t] = above;
    if (least[t].found) above = least[t];
  }
  for (std::vector<GapLine>* lines : {&s.gapBelow, &s.gapAbove}) {
    for (GapLine& g : *lines) {
      if (g.found) g.file = sections[g.file].source;
    }
  }

  // The groups that cannot stay in place are copied, in file order, with a
  // new file run wherever the file changes, then sorted.
  std::vector<uint64_t> copyAt(scans.size(), 0);
  uint64_t copied = 0;
  for (std::size_t g = 0; g < scans.size(); ++g) {
    copyAt[g] = copied;
    if (!scans[g].inPlace) copied += scans[g].count;
  }
  PairArray copy;
  copy.Allocate(copied);
  std::vector<std::vector<FileRun>> runs(scans.size());  // first: from the group's begin
  if (copied > 0) {
    // Only the spans of the copied groups are walked again.
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    for (const GroupScan& scan : scans) {
      if (!scan.inPlace) spans.push_back({scan.first, scan.last + 1});
    }
    std::sort(spans.begin(), spans.end());
    std::vector<uint64_t> next(scans.size(), 0);
    for (std::size_t i = 0; i < spans.size();) {
      uint64_t from = spans[i].first, to = spans[i].second;
      for (++i; i < spans.size() && spans[i].first <= to; ++i) to = std::max(to, spans[i].second);
      visit(from, to, [&](const LinePair* p, const PairRun& r, uint64_t, std::size_t, uint32_t section, uint32_t,
                          uint32_t g) {
        const std::size_t n = r.n;
        if (g == kNoIndex || scans[g].inPlace) return;
        const uint32_t file = sections[section].source;
        if (runs[g].empty() || runs[g].back().id != file) runs[g].push_back({next[g], file});
        std::copy_n(p, n, copy.begin() + copyAt[g] + next[g]);
        next[g] += n;
      });
    }
  }

  s.groups.resize(scans.size() + 1);
  for (std::size_t g = 0; g < scans.size(); ++g) {
    const GroupScan& scan = scans[g];
    PairGroup& group = s.groups[g];
    if (scan.count == 0) {
      // No pairs.
    } else if (scan.inPlace) {
      group.begin = blocks.Block(scan.block) + (scan.first - blockStart[scan.block]);
      // The runs of the sections that hold the slice.
      auto r = std::upper_bound(raw.sections.begin(), raw.sections.end(), scan.first,
                                [](uint64_t i, const FileRun& run) { return i < run.first; }) - 1;
      for (; r != raw.sections.end() && r->first <= scan.last; ++r) {
        const uint32_t file = sections[r->id].source;
        if (runs[g].empty() || runs[g].back().id != file) runs[g].push_back({std::max(r->first, scan.first) - scan.first, file});
      }
    } else {
      group.begin = copy.begin() + copyAt[g];
      LinePair* first = copy.begin() + copyAt[g];
      SortGroup(first, first + scan.count, runs[g], 0);
    }
    group.end = group.begin + scan.count;
    group.files = static_cast<uint32_t>(s.files.size());
    s.files.insert(s.files.end(), runs[g].begin(), runs[g].end());
  }
  s.groups.back().files = static_cast<uint32_t>(s.files.size());
  s.storage = raw.pairs.TakeBlocks();
  if (copied > 0) s.storage.push_back(std::move(copy));
  for (const PairArray& a : s.storage) a.AdviseLargePages();
  raw = RawSegment();
}

}  // namespace qf
