#include "map/SectionCuts.h"

#include <cstring>
#include <string_view>

namespace qf {
namespace {

constexpr std::string_view kHeader = "Line numbers";

bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

// Where the line end that finishes at position `after` begins.
std::size_t LineEndBefore(const char* d, std::size_t after) {
  return (d[after - 1] == '\n' && after >= 2 && d[after - 2] == '\r') ? after - 2 : after - 1;
}

}  // namespace

bool IsSectionStart(const char* d, std::size_t n, std::size_t p) {
  if (p == 0 || !IsLineEnd(d[p - 1]) || n - p < kHeader.size() ||
      std::memcmp(d + p, kHeader.data(), kHeader.size()) != 0) {
    return false;
  }
  const std::size_t emptyLine = LineEndBefore(d, p);
  if (emptyLine == 0 || !IsLineEnd(d[emptyLine - 1])) return false;
  const std::size_t end2 = LineEndBefore(d, emptyLine);
  std::size_t start2 = end2;
  while (start2 > 0 && !IsLineEnd(d[start2 - 1])) --start2;
  if (end2 - start2 >= kHeader.size() && std::memcmp(d + start2, kHeader.data(), kHeader.size()) == 0) return false;
  std::size_t e = p;
  for (int line = 0; line < 2; ++line) {
    while (e < n && !IsLineEnd(d[e])) ++e;
    if (e >= n || (d[e] == '\r' && e + 1 >= n)) return false;
    e += (d[e] == '\r' && d[e + 1] == '\n') ? 2 : 1;
  }
  return e < n && std::memchr(d + p, '\0', e + 1 - p) == nullptr;
}

std::size_t LastSectionStart(const char* d, std::size_t n) {
  for (std::size_t p = n; p-- > 1;) {
    if (d[p] == 'L' && IsSectionStart(d, n, p)) return p;
  }
  return 0;
}

std::size_t LastLineEnd(const char* d, std::size_t n) {
  for (std::size_t c = n; c-- > 0;) {
    if (d[c] == '\n' || (d[c] == '\r' && c + 1 < n)) return c + 1;
  }
  return 0;
}

}  // namespace qf
