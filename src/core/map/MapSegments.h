// The segment table at the top of a MAP file:
//
//    Start         Length     Name                   Class
//    0001:00401000 000EC3A0H .text                   CODE
//    0002:004EE000 00000E84H .itext                  ICODE
//
// Delphi 2005 and later print absolute starts for the code segments (the
// "new layout"); older linkers print 0 and every line-number pair of the
// first CODE segment counts from 0x401000.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qf {

struct MapSegment {
  std::string id;      // the four characters before ":", as written ("0001", "000A")
  uint64_t start = 0;  // 8 or 16 hexadecimal digits
  bool wide = false;   // the start has 16 digits (a 64-bit linker's table)
  uint64_t length = 0;
  std::string name;    // ".text", "_TEXT"
  std::string cls;     // "CODE", "ICODE", "DATA" ...
};

// True for the table's header: a line whose first four words are
// "Start Length Name Class".
bool IsSegmentTableHeader(std::string_view line);

// One row "SSSS:XXXXXXXX LLLLLLLLH Name Class" (surrounding blanks allowed):
// four hexadecimal digits, ":", a start of 8 or 16 hexadecimal digits, one or
// more spaces, a length of hexadecimal digits ending in "H", then the name and
// the class. Nothing for a line of another shape.
std::optional<MapSegment> ParseSegmentRow(std::string_view line);

// Reads the table from the lines of a file given in order: the first header,
// then the rows that directly follow it, up to the first line of another
// shape. Lines after that are ignored.
class SegmentTableReader {
 public:
  // Returns true while the reader still wants lines.
  bool AddLine(std::string_view line);
  bool Done() const { return state_ == State::Done; }
  bool HeaderFound() const { return state_ != State::SeekingHeader; }
  const std::vector<MapSegment>& Segments() const { return segments_; }
  std::vector<MapSegment> TakeSegments() { return std::move(segments_); }

 private:
  enum class State { SeekingHeader, Rows, Done };
  State state_ = State::SeekingHeader;
  std::vector<MapSegment> segments_;
};

// The first row of class CODE, if any.
const MapSegment* FirstCodeSegment(const std::vector<MapSegment>& segments);

// True for the layout of Delphi 2005 and later: the first CODE row has a start
// other than 0.
bool IsAbsoluteLayout(const std::vector<MapSegment>& segments);

// True when the class is CODE or ICODE (compared without regard to case).
bool IsCodeClass(std::string_view cls);

}  // namespace qf
