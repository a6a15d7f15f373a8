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

bool SymbolRowReader::AddPairs(std::string_view line) {
  // A line in the linkers' columns is read whole; any other pair by pair.
  AlignedLine aligned;
  const int n = ReadAlignedLine(line.data(), line.size(), aligned);
  for (int j = 0; j < n; ++j) {
    // The segment number is worked out again only when its characters change.
    if (aligned.segment[j] != alignedChars_) {
      alignedChars_ = aligned.segment[j];
      alignedSegment_ = SegmentNumberOf(std::string_view(reinterpret_cast<const char*>(&alignedChars_), 4));
    }
    rows_.AddPair(section_, alignedSegment_, {aligned.offset[j], static_cast<int32_t>(aligned.line[j])});
  }
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
