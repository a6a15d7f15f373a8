#include "map/SymbolRowReader.h"

#include <limits>

#include "base/TextRules.h"
#include "map/AlignedLine.h"
#include "map/MapSymbolRows.h"

namespace qf {

SymbolRowReader::SymbolRowReader(SymbolRows& rows, const State& from)
    : rows_(rows), mode_(from.mode), table_(from.table) {
  if (mode_ == State::LinesHeader || mode_ == State::Lines) StartSection(from.unit, from.source);
}

SymbolRowReader::State SymbolRowReader::Leave() const {
  State state;
  state.mode = mode_;
  state.table = table_;
  if (mode_ == State::LinesHeader || mode_ == State::Lines) {
    const SymbolRows::Section& s = rows_.sections[section_];
    state.unit = rows_.names[s.unit];
    state.source = rows_.names[s.source];
  }
  return state;
}

uint32_t SymbolRowReader::AddName(std::string_view name) {
  rows_.names.emplace_back(name);
  return static_cast<uint32_t>(rows_.names.size() - 1);
}

void SymbolRowReader::StartSection(std::string_view unit, std::string_view source) {
  const uint32_t u = AddName(unit);
  const uint32_t s = AddName(source);
  section_ = static_cast<uint32_t>(rows_.sections.size());
  rows_.sections.push_back({u, s});
}

int SymbolRowReader::AddAlignedPairs(const char* text, std::size_t size) {
  AlignedLine aligned;
  const int n = ReadAlignedLine(text, size, aligned);
  const uint32_t* const segment = aligned.segment;
  if (n == AlignedLine::kMostPairs && alignedChars_ != 0 &&
      (segment[0] & segment[1] & segment[2] & segment[3]) == alignedChars_ &&
      (segment[0] | segment[1] | segment[2] | segment[3]) == alignedChars_) {
    // The usual line: four pairs in the segment of the line before.
    alignas(16) SymbolRows::Pair four[4];
#if defined(QF_ALIGNED_LINE)
    // Offsets and lines interleaved in registers: each pair is its offset,
    // then its line.
    const __m128i offsets = _mm_loadu_si128(reinterpret_cast<const __m128i*>(aligned.offset));
    const __m128i lines = _mm_loadu_si128(reinterpret_cast<const __m128i*>(aligned.line));
    _mm_store_si128(reinterpret_cast<__m128i*>(four), _mm_unpacklo_epi32(offsets, lines));
    _mm_store_si128(reinterpret_cast<__m128i*>(four + 2), _mm_unpackhi_epi32(offsets, lines));
#else
    for (int j = 0; j < 4; ++j) four[j] = {aligned.offset[j], static_cast<int32_t>(aligned.line[j])};
#endif
    rows_.AddFourPairs(section_, alignedSegment_, four);
    return n;
  }
  for (int j = 0; j < n; ++j) {
    // The segment number is worked out again only when its characters change.
    if (segment[j] != alignedChars_) {
      alignedChars_ = segment[j];
      alignedSegment_ = SegmentNumberOf(std::string_view(reinterpret_cast<const char*>(&alignedChars_), 4));
    }
    rows_.AddPair(section_, alignedSegment_, {aligned.offset[j], static_cast<int32_t>(aligned.line[j])});
  }
  return n;
}

std::size_t SymbolRowReader::AddAlignedLines(std::string_view text) {
  // The segment table, when being read, sees every line; a line of pairs is
  // never its header.
  if (mode_ != State::Lines || (table_.HeaderFound() && !table_.Done())) return 0;
  return TakeAlignedLines(text, [this](const char* line) {
    return AddAlignedPairs(line, AlignedLine::kPairWidth * AlignedLine::kMostPairs) > 0;
  });
}

bool SymbolRowReader::AddPairs(std::string_view line) {
  // A line in the linkers' columns is read whole; any other pair by pair.
  const int n = AddAlignedPairs(line.data(), line.size());
  if (n > 0) return true;
  bool any = false;
  pairs_.Reset(line);
  LinePairText pair;
  while (pairs_.Next(pair)) {
    any = true;
    if (pair.offset > std::numeric_limits<uint32_t>::max()) continue;
    rows_.AddPair(section_, pair.segment, {static_cast<uint32_t>(pair.offset), pair.line});
  }
  return any;
}

namespace {

// A line that may be the segment table's header: its first character above
// a blank is the "S" of "Start".
bool MaySegmentHeader(std::string_view line) {
  for (const char c : line) {
    if (static_cast<unsigned char>(c) > ' ') return c == 'S';
  }
  return false;
}

}  // namespace

void SymbolRowReader::AddLine(std::string_view line) {
  if (table_.HeaderFound() ? !table_.Done() : MaySegmentHeader(line)) table_.AddLine(line);
  // A line that ends one kind of rows is read again as the start of what
  // follows.
  for (;;) {
    switch (mode_) {
      case State::Idle:
        ReadIdle(line);
        return;
      case State::Units:
        if (IsBlank(line)) return;
        if (const auto row = ParseUnitRow(line)) {
          rows_.units.push_back({row->segment, row->offset, row->length, AddName(row->module)});
          return;
        }
        break;
      case State::Publics:
        if (IsBlank(line)) return;
        if (const auto row = ParsePublicRow(line)) {
          if (row->offset <= std::numeric_limits<uint32_t>::max() && !IsTypeInformation(row->name) &&
              rows_.publicText.size() + row->name.size() <= std::numeric_limits<uint32_t>::max()) {
            rows_.publics.push_back({row->segment, static_cast<uint32_t>(row->offset),
                                     static_cast<uint32_t>(rows_.publicText.size()),
                                     static_cast<uint32_t>(row->name.size())});
            rows_.publicText.append(row->name);
          }
          return;
        }
        break;
      case State::LinesHeader:
        if (IsBlank(line)) return;
        if (AddPairs(line)) {
          mode_ = State::Lines;
          return;
        }
        break;
      case State::Lines:
        if (IsBlank(line)) {
          mode_ = State::Idle;
          return;
        }
        if (AddPairs(line)) return;
        break;
    }
    mode_ = State::Idle;
  }
}

void SymbolRowReader::ReadIdle(std::string_view line) {
  const std::string_view t = TrimView(line);
  if (t.empty()) return;
  if (StartsWith(t, "Line numbers for ")) {
    const LineSectionNames n = ParseLineSectionHeader(t);
    StartSection(n.unit, n.source);
    mode_ = State::LinesHeader;
  } else if (StartsWith(t, "Detailed map of segments")) {
    mode_ = State::Units;
  } else if (t.find("Publics by Value") != std::string_view::npos && !ParsePublicRow(t)) {
    mode_ = State::Publics;
  }
}

}  // namespace qf
