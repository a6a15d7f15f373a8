#include "map/MapSymbolRows.h"

#include "base/TextRules.h"

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
  if (!StartsWith(NextWord(line), "C=")) return std::nullopt;
  const std::size_t m = line.find(" M=");
  if (m == std::string_view::npos) return std::nullopt;
  std::string_view module = line.substr(m + 3);
  const std::size_t acbp = module.rfind(" ACBP=");
  if (acbp != std::string_view::npos) module = module.substr(0, acbp);
  row.module = TrimView(module);
  return row;
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
