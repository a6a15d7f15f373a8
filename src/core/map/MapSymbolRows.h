// The rows of a MAP file's symbol sections, read one line at a time:
//
//   Detailed map of segments
//    0001:00000000 00009391 C=CODE     S=.text    G=(none)   M=System   ACBP=A9
//
//     Address             Publics by Value
//    0001:0000145C       System.InterlockedIncrement
//
//   Line numbers for System(System.pas) segment .text
//     2724 0001:0000145C  2725 0001:00001461
//
// Views in the results point into the line given.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace qf {

// The number of a segment written as four hexadecimal digits ("000A" -> 10);
// 0 for any other text.
uint32_t SegmentNumberOf(std::string_view digits);

// True for a line of blanks only (codes 0 to 32).
bool IsBlank(std::string_view line);

struct UnitRowText {
  uint32_t segment = 0;
  uint64_t offset = 0;
  uint64_t length = 0;
  std::string_view module;  // after "M=", up to the last " ACBP=" or " ALIGN=" (names may hold spaces)
};

// "SSSS:OOOOOOOO LLLLLLLL[H] KEY=VALUE... M=module [ACBP=..|ALIGN=..]",
// blanks around allowed: the address, the length, then KEY=VALUE words up to
// "M=" (every linker's own: "C=CODE S=.text G=(none)", "S=CODE"). The module
// runs to the last " ACBP=" or " ALIGN=", else to the end of the line, and is
// trimmed. Nothing for a line of another shape.
std::optional<UnitRowText> ParseUnitRow(std::string_view line);

struct PublicRowText {
  uint32_t segment = 0;
  uint64_t offset = 0;
  std::string_view name;  // the rest of the line, trimmed
};

// "SSSS:OOOOOOOO  name", blanks around allowed; nothing for another shape.
std::optional<PublicRowText> ParsePublicRow(std::string_view line);

// True for the name of a public that is type information rather than code:
// it holds two dots in a row outside every pair of parentheses
// ("ActnList..TAction", "System...", ".."); "f(const char *, ...)" is code.
bool IsTypeInformation(std::string_view name);

struct LineSectionNames {
  std::string_view unit;    // before the first "("
  std::string_view source;  // from there to the last ")" followed by " segment "
};

// The names of a "Line numbers for UNIT(SOURCE) segment S" header (already
// trimmed). A header without that shape names the text before " segment "
// (or the whole rest) as both.
LineSectionNames ParseLineSectionHeader(std::string_view header);

struct LinePairText {
  int32_t line = 0;
  uint32_t segment = 0;
  uint64_t offset = 0;
};

// The pairs "LINE SSSS:OOOOOOOO" of one line, from the left up to the first
// text of another shape. One reader may be used for many lines (Reset): the
// segment of the last usual pair is remembered.
class LinePairReader {
 public:
  LinePairReader() = default;
  explicit LinePairReader(std::string_view line) : rest_(line) {}
  void Reset(std::string_view line) { rest_ = line; }
  bool Next(LinePairText& pair);

 private:
  std::string_view rest_;
  uint32_t segmentChars_ = 0;  // the four characters as read, 0: none yet
  uint32_t segment_ = 0;
};

}  // namespace qf
