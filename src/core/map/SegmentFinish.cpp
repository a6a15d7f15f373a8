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
// mostly in rising runs, so the last stretch and its neighbour are tried
// before a search.
class StretchCursor {
 public:
  explicit StretchCursor(const std::vector<uint64_t>& cuts) : cuts_(cuts) {}
  uint32_t Find(uint64_t offset) {
    if (!Holds(at_, offset)) {
      if (Holds(at_ + 1, offset)) {
        ++at_;
      } else {
        at_ = static_cast<uint32_t>(std::upper_bound(cuts_.begin(), cuts_.end(), offset) - cuts_.begin());
      }
    }
    return at_;
  }

 private:
  bool Holds(uint32_t p, uint64_t offset) const {
    return p <= cuts_.size() && (p == 0 || cuts_[p - 1] <= offset) && (p == cuts_.size() || offset < cuts_[p]);
  }
  const std::vector<uint64_t>& cuts_;
  uint32_t at_ = 0;
};

// Keeps the pair when it beats the one kept: the greatest (or least) offset,
// the first in file order on a tie.
void KeepGreatest(GapLine& kept, const LinePair& p, uint32_t section) {
  if (!kept.found || p.offset > kept.pair.offset) kept = GapLine{true, p, section};
}
void KeepLeast(GapLine& kept, const LinePair& p, uint32_t section) {
  if (!kept.found || p.offset < kept.pair.offset) kept = GapLine{true, p, section};
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
  // f(pair, section, stretch) for every pair in file order.
  const auto visit = [&](auto&& f, bool drain) {
    std::size_t run = 0;
    uint64_t index = 0;
    StretchCursor cursor(s.cuts);
    const auto one = [&](const LinePair& p) {
      while (run + 1 < raw.sections.size() && raw.sections[run + 1].first <= index) ++run;
      f(p, raw.sections[run].id, cursor.Find(p.offset));
      ++index;
    };
    if (drain) {
      raw.pairs.Drain(one);
    } else {
      raw.pairs.ForEach(one);
    }
  };

  // Each stretch keeps its greatest and least pair; a stretch of no unit
  // then takes the greatest below it and the least above it.
  const std::size_t stretches = s.cuts.size() + 1;
  std::vector<GapLine> greatest(stretches), least(stretches);
  std::vector<uint32_t> count(static_cast<std::size_t>(noUnit) + 1, 0);
  visit(
      [&](const LinePair& p, uint32_t section, uint32_t stretch) {
        KeepGreatest(greatest[stretch], p, section);
        KeepLeast(least[stretch], p, section);
        const uint32_t g = groupOf(stretch, section);
        if (g != kNoIndex) ++count[g];
      },
      false);
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

  // The groups in unit order, each in file order; a new file run wherever
  // the file changes within a group. The raw pairs are given back as they
  // are copied.
  s.groupBegin.assign(static_cast<std::size_t>(noUnit) + 2, 0);
  for (uint32_t g = 0; g <= noUnit; ++g) s.groupBegin[g + 1] = s.groupBegin[g] + count[g];
  std::vector<uint32_t>().swap(count);
  s.pairs.Allocate(s.groupBegin.back());
  std::vector<uint32_t> next(s.groupBegin.begin(), s.groupBegin.end() - 1);
  std::vector<std::vector<FileRun>> runs(static_cast<std::size_t>(noUnit) + 1);
  visit(
      [&](const LinePair& p, uint32_t section, uint32_t stretch) {
        const uint32_t g = groupOf(stretch, section);
        if (g == kNoIndex) return;
        const uint32_t file = sections[section].source;
        if (runs[g].empty() || runs[g].back().id != file) runs[g].push_back({next[g], file});
        s.pairs[next[g]++] = p;
      },
      true);
  raw = RawSegment();

  for (uint32_t g = 0; g <= noUnit; ++g) {
    SortGroup(s.pairs.begin() + s.groupBegin[g], s.pairs.begin() + s.groupBegin[g + 1], runs[g], s.groupBegin[g]);
  }
  for (const std::vector<FileRun>& r : runs) s.files.insert(s.files.end(), r.begin(), r.end());
}

}  // namespace qf
