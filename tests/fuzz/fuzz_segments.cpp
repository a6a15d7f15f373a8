// Fast libFuzzer target of the segment table at the top of a MAP file: every
// line of the input is offered to the table reader and to the row parser once.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzCheck.h"
#include "base/LineIterator.h"
#include "base/TextRules.h"
#include "map/MapSegments.h"

namespace {

bool HasBlank(std::string_view word) {
  for (const char c : word) {
    if (static_cast<unsigned char>(c) <= ' ') return true;
  }
  return false;
}

// What every row read must satisfy: it stands in the line it came from.
void CheckRow(const qf::MapSegment& row, std::string_view line) {
  const std::string_view trimmed = qf::TrimView(line);
  QF_CHECK(row.id.size() == 4 && trimmed.substr(0, 4) == row.id && trimmed[4] == ':');
  for (const char c : row.id) QF_CHECK(qf::HexDigitValue(c) >= 0);
  QF_CHECK(!row.name.empty() && !HasBlank(row.name) && qf::fuzz::Contains(trimmed, row.name));
  QF_CHECK(!row.cls.empty() && !HasBlank(row.cls) && qf::fuzz::Contains(trimmed, row.cls));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string_view text = input.substr(0, input.find('\0'));
  qf::SegmentTableReader reader;
  bool reading = true;
  std::size_t lines = 0, rows = 0, rowsAfterHeader = 0;
  bool headerSeen = false;
  for (qf::LineIterator it(text); !it.AtEnd(); ++it) {
    const std::string_view line = *it;
    ++lines;
    const bool header = qf::IsSegmentTableHeader(line);
    const auto row = qf::ParseSegmentRow(line);
    QF_CHECK(!(header && row));
    if (row) {
      CheckRow(*row, line);
      ++rows;
    }
    if (reading) {
      const std::size_t before = reader.Segments().size();
      reading = reader.AddLine(line);
      // The reader takes a row only after its header, and the same row.
      if (headerSeen && row && reading) ++rowsAfterHeader;
      QF_CHECK(reader.Segments().size() == before + (headerSeen && row ? 1 : 0));
      if (headerSeen && row) CheckRow(reader.Segments().back(), line);
      QF_CHECK(reading || (headerSeen && !row));
      headerSeen = headerSeen || header;
    }
  }
  QF_CHECK(reader.Segments().size() == rowsAfterHeader && rowsAfterHeader <= rows && rows <= lines);

  const std::vector<qf::MapSegment>& segments = reader.Segments();
  const qf::MapSegment* code = qf::FirstCodeSegment(segments);
  QF_CHECK(!code || qf::SameText(code->cls, "CODE"));
  QF_CHECK(qf::IsAbsoluteLayout(segments) == (code && code->start != 0));
  for (const qf::MapSegment& s : segments) {
    if (&s == code) break;
    QF_CHECK(!qf::SameText(s.cls, "CODE"));
  }
  return 0;
}
