#include "map/MapSegments.h"

#include "base/TextRules.h"

namespace qf {

bool IsSegmentTableHeader(std::string_view line) {
  static constexpr std::string_view kWords[] = {"Start", "Length", "Name", "Class"};
  for (const std::string_view expected : kWords) {
    if (NextWord(line) != expected) return false;
  }
  return true;
}

std::optional<MapSegment> ParseSegmentRow(std::string_view line) {
  line = TrimView(line);
  // SSSS:start
  if (line.size() < 14 || line[4] != ':') return std::nullopt;
  MapSegment row;
  uint64_t ignored;
  if (!ReadHex(line.substr(0, 4), ignored)) return std::nullopt;
  row.id = std::string(line.substr(0, 4));
  std::size_t i = 5;
  while (i < line.size() && line[i] != ' ') ++i;
  const std::string_view start = line.substr(5, i - 5);
  if ((start.size() != 8 && start.size() != 16) || !ReadHex(start, row.start)) return std::nullopt;
  row.wide = start.size() == 16;
  if (i >= line.size()) return std::nullopt;
  line.remove_prefix(i);  // one or more spaces follow
  const std::string_view length = NextWord(line);
  if (length.size() < 2 || length.back() != 'H' || !ReadHex(length.substr(0, length.size() - 1), row.length)) {
    return std::nullopt;
  }
  const std::string_view name = NextWord(line);
  const std::string_view cls = NextWord(line);
  if (name.empty() || cls.empty()) return std::nullopt;
  row.name = std::string(name);
  row.cls = std::string(cls);
  return row;
}

bool SegmentTableReader::AddLine(std::string_view line) {
  switch (state_) {
    case State::SeekingHeader:
      if (IsSegmentTableHeader(line)) state_ = State::Rows;
      return true;
    case State::Rows:
      if (auto row = ParseSegmentRow(line)) {
        segments_.push_back(std::move(*row));
        return true;
      }
      state_ = State::Done;
      return false;
    case State::Done:
      break;
  }
  return false;
}

const MapSegment* FirstCodeSegment(const std::vector<MapSegment>& segments) {
  for (const MapSegment& s : segments) {
    if (SameText(s.cls, "CODE")) return &s;
  }
  return nullptr;
}

bool IsAbsoluteLayout(const std::vector<MapSegment>& segments) {
  const MapSegment* code = FirstCodeSegment(segments);
  return code != nullptr && code->start != 0;
}

bool IsCodeClass(std::string_view cls) { return SameText(cls, "CODE") || SameText(cls, "ICODE"); }

}  // namespace qf
