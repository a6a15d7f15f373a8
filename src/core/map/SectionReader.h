// The reading of a MAP file's line-number sections, fed one line at a time.
//
// A section is a header line that begins with "Line numbers" and has at
// least two lines after it, one line that is skipped, then data lines up to
// the first empty one. A header among the last two lines is read as data.
// The reader keeps the header and the line after it until the next line
// shows whether the header counts, so it needs no look-ahead. Its state can
// be handed to another reader, which goes on where this one stopped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "map/LineTable.h"
#include "map/MapSegments.h"

namespace qf {

// The source name of a "Line numbers" header: the text inside its first
// parentheses (up to the ")" that closes the first "("), "" when a ")"
// stands before the first "(", "Unknown file" without both.
std::string SectionSourceName(std::string_view headerLine);

// The number of a segment part of exactly four hexadecimal digits;
// LineBatch::kNoSegment for any other text.
int32_t SegmentNumber(std::string_view part);

// Where a reading stands between two lines.
struct SectionReaderState {
  enum Mode { Seeking, AfterHeader, TwoAfterHeader, InData };
  Mode mode = Seeking;
  std::string header;   // AfterHeader, TwoAfterHeader
  std::string skipped;  // TwoAfterHeader: the line after the header
  std::string source;   // the current source name
  // The segment table at the top of the file.
  SegmentTableReader segments;
  bool segmentRows = false;  // its header was read
  bool segmentsDone = false;
};

class SectionReader {
 public:
  using State = SectionReaderState;

  // Appends to batch, starting from the beginning of a file or from a state
  // that another reader left.
  explicit SectionReader(LineBatch& batch, const State& from = State());

  void AddLine(std::string_view line);
  // Reads, inside a section's data, the lines at the start of text that
  // hold four pairs in the linkers' columns (AlignedLine.h), each with its
  // line end, as AddLine would; returns the number of bytes read.
  std::size_t AddAlignedLines(std::string_view text);
  // The file ends here.
  void Finish();
  // The state after the last line given; the segment rows read so far too.
  State Leave() const;

  bool SegmentTableFound() const { return segmentRows_; }
  const std::vector<MapSegment>& Segments() const { return segments_.Segments(); }

  // Appends the pairs of one trimmed data line under the batch source.
  static void ParseLine(std::string_view text, uint32_t source, LineBatch& batch);

 private:
  void ReadSegmentTable(std::string_view line);
  // A data line of pairs in the linkers' columns (AlignedLine.h); false,
  // with nothing added, for any other line.
  bool AddAlignedLine(std::string_view line);
  void SetSource(std::string_view name);

  LineBatch& batch_;
  State::Mode mode_;
  std::string header_;
  std::string skipped_;
  uint32_t source_ = 0;
  uint32_t segmentChars_ = 0;  // the last segment part read by AddAlignedLine (0: none)
  int32_t segmentNumber_ = LineBatch::kNoSegment;
  SegmentTableReader segments_;
  bool segmentRows_;
  bool segmentsDone_;
};

}  // namespace qf
