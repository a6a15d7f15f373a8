#include "map/MapSymbolRows.h"

#include <vector>

#include "base/TextRules.h"
#include "map/UsualPair.h"

namespace qf {
namespace {

bool IsBlankChar(char c) { return static_cast<unsigned char>(c) <= ' '; }

// "SSSS:OOOOOOOO": four hexadecimal digits, ":", one to sixteen more.
bool ReadAddress(std::string_view word, uint32_t& segment, uint64_t& offset) {
  if (word.size() < 6 || word[4] != ':') return false;
  uint64_t s;
  if (!ReadHex(word.substr(0, 4), s) || !ReadHex(word.substr(5), offset)) return false;
  segment = static_cast<uint32_t>(s);
  return true;
}

}  // namespace

uint32_t SegmentNumberOf(std::string_view digits) {
  uint64_t v = 0;
  return digits.size() == 4 && ReadHex(digits, v) ? static_cast<uint32_t>(v) : 0;
}

bool IsBlank(std::string_view line) {
  for (const char c : line) {
    if (!IsBlankChar(c)) return false;
  }
  return true;
}

std::optional<UnitRowText> ParseUnitRow(std::string_view line) {
  UnitRowText row;
  if (!ReadAddress(NextWord(line), row.segment, row.offset)) return std::nullopt;
  std::string_view length = NextWord(line);
  if (!length.empty() && length.back() == 'H') length.remove_suffix(1);
  if (!ReadHex(length, row.length)) return std::nullopt;
  // KEY=VALUE words up to the one that begins with "M=".
  for (;;) {
    std::string_view rest = line;
    const std::string_view word = NextWord(rest);
    if (StartsWith(word, "M=")) {
      line.remove_prefix(static_cast<std::size_t>(word.data() - line.data()) + 2);
      break;
    }
    const std::size_t equals = word.find('=');
    if (equals == std::string_view::npos || equals == 0) return std::nullopt;
    line = rest;
  }
  const std::size_t acbp = line.rfind(" ACBP=");
  const std::size_t align = line.rfind(" ALIGN=");
  std::size_t end = line.size();
  if (acbp != std::string_view::npos) end = acbp;
  if (align != std::string_view::npos && (acbp == std::string_view::npos || align > acbp)) end = align;
  row.module = TrimView(line.substr(0, end));
  return row;
}

bool IsTypeInformation(std::string_view name) {
  std::size_t dots = name.find("..");
  if (dots == std::string_view::npos) return false;
  // Each "(" open at a "..", by its depth: the ".." is enclosed when the
  // innermost of them is closed later.
  std::vector<std::size_t> open;    // positions of the "(" not yet closed
  std::vector<std::size_t> waiting;  // depth of each ".." still inside an open "("
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (c == '(') {
      open.push_back(i);
    } else if (c == ')' && !open.empty()) {
      open.pop_back();
      // A ".." that waits at a depth deeper than what is open now is enclosed.
      while (!waiting.empty() && waiting.back() > open.size()) waiting.pop_back();
    } else if (c == '.' && i + 1 < name.size() && name[i + 1] == '.') {
      if (open.empty()) return true;
      if (waiting.empty() || waiting.back() != open.size()) waiting.push_back(open.size());
    }
  }
  return !waiting.empty();  // inside a "(" that is never closed
}
std::optional<PublicRowText> ParsePublicRow(std::string_view line) {
  PublicRowText row;
  if (!ReadAddress(NextWord(line), row.segment, row.offset)) return std::nullopt;
  if (line.empty() || !IsBlankChar(line.front())) return std::nullopt;
  row.name = TrimView(line);
  if (row.name.empty()) return std::nullopt;
  return row;
}

LineSectionNames ParseLineSectionHeader(std::string_view header) {
  static constexpr std::string_view kPrefix = "Line numbers for ";
  static constexpr std::string_view kSegment = ") segment ";
  if (StartsWith(header, kPrefix)) header.remove_prefix(kPrefix.size());
  const std::size_t open = header.find('(');
  const std::size_t close = header.rfind(kSegment);
  if (open != std::string_view::npos && close != std::string_view::npos && close >= open) {
    return {header.substr(0, open), header.substr(open + 1, close - open - 1)};
  }
  const std::size_t segment = header.rfind(" segment ");
  const std::string_view name = TrimView(header.substr(0, segment));
  return {name, name};
}

bool LinePairReader::Next(LinePairText& pair) {
  // The usual shape first; its segment must be four hexadecimal digits.
  const char* p = rest_.data();
  uint32_t line32 = 0, offset32 = 0, chars = 0;
  const char* const end = rest_.data() + rest_.size();
  if (ReadAlignedPair(p, end, line32, offset32, chars) || ReadUsualPair(p, end, line32, offset32, chars)) {
    if (chars != segmentChars_) {
      uint64_t number = 0;
      segmentChars_ = ReadHex(std::string_view(p - 13, 4), number) ? chars : 0;
      segment_ = static_cast<uint32_t>(number);
    }
    if (segmentChars_ != 0) {
      pair.line = static_cast<int32_t>(line32);
      pair.segment = segment_;
      pair.offset = offset32;
      rest_.remove_prefix(static_cast<std::size_t>(p - rest_.data()));
      return true;
    }
  }
  std::string_view rest = rest_;
  const std::string_view number = NextWord(rest);
  if (number.empty() || number.size() > 10) return false;
  int64_t line = 0;
  for (const char c : number) {
    if (c < '0' || c > '9') return false;
    line = line * 10 + (c - '0');
  }
  if (line > INT32_MAX) return false;
  if (!ReadAddress(NextWord(rest), pair.segment, pair.offset)) return false;
  pair.line = static_cast<int32_t>(line);
  rest_ = rest;
  return true;
}

}  // namespace qf
