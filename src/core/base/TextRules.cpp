#include "base/TextRules.h"

namespace qf {
namespace {

// Accumulates hexadecimal digits up to the end of the text or its first NUL;
// false on an empty run, a non-digit or a value that would need more than
// 32 bits (a value above 0x0FFFFFFF before a further digit).
bool ParseHex(std::string_view digits, uint32_t& value) {
  uint32_t v = 0;
  std::size_t used = 0;
  for (const char c : digits) {
    if (c == '\0') break;
    const int d = HexDigitValue(c);
    if (d < 0 || v > 0x0FFFFFFFu) return false;
    v = (v << 4) | static_cast<uint32_t>(d);
    ++used;
  }
  if (used == 0) return false;
  value = v;
  return true;
}

}  // namespace

int32_t HexDigitsToIntDef(std::string_view digits, int32_t defaultValue) {
  uint32_t v;
  return ParseHex(digits, v) ? static_cast<int32_t>(v) : defaultValue;
}

int32_t StrToIntDef(std::string_view text, int32_t defaultValue) {
  const auto nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);

  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  std::string_view rest = text.substr(i);
  if (rest.empty()) return defaultValue;

  std::size_t prefix = 0;
  if (rest[0] == '$' || rest[0] == 'x' || rest[0] == 'X')
    prefix = 1;
  else if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X'))
    prefix = 2;

  if (prefix > 0) {
    uint32_t v;
    if (!ParseHex(rest.substr(prefix), v)) return defaultValue;
    return static_cast<int32_t>(negative ? 0u - v : v);
  }

  uint32_t v = 0;
  for (char c : rest) {
    if (c < '0' || c > '9' || v > 214748364u) return defaultValue;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (!negative) return v > 2147483647u ? defaultValue : static_cast<int32_t>(v);
  if (v > 2147483648u) return defaultValue;
  return static_cast<int32_t>(0u - v);
}

std::string_view TrimView(std::string_view text) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= ' ') ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ') --last;
  return text.substr(first, last - first);
}

std::string Trim(std::string_view text) { return std::string(TrimView(text)); }

std::size_t Pos(std::string_view needle, std::string_view text) {
  if (needle.empty() || text.empty()) return 0;
  const auto at = text.find(needle);
  return at == std::string_view::npos ? 0 : at + 1;
}

std::string Copy(std::string_view text, long long start, long long count) {
  if (start < 1) start = 1;
  if (count <= 0 || start > static_cast<long long>(text.size())) return std::string();
  // Cut the count at the end before narrowing it: on a 32-bit system a count
  // of 2^32 + 1 must not turn into 1.
  const long long available = static_cast<long long>(text.size()) - (start - 1);
  const long long used = count < available ? count : available;
  return std::string(text.substr(static_cast<std::size_t>(start - 1), static_cast<std::size_t>(used)));
}

static char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

std::string LowerCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = FoldAscii(c);
  return out;
}

std::string_view NextWord(std::string_view& text) {
  std::size_t i = 0;
  while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ') ++i;
  std::size_t j = i;
  while (j < text.size() && static_cast<unsigned char>(text[j]) > ' ') ++j;
  const std::string_view word = text.substr(i, j - i);
  text.remove_prefix(j);
  return word;
}

bool ReadHex(std::string_view digits, uint64_t& value) {
  if (digits.empty() || digits.size() > 16) return false;
  uint64_t v = 0;
  for (const char c : digits) {
    const int d = HexDigitValue(c);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint64_t>(d);
  }
  value = v;
  return true;
}

}  // namespace qf
