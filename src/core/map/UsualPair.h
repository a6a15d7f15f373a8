// The usual line-number pair as linkers write it ("   123 0001:0040ABCD"),
// read eight bytes at a time where the compiler allows it. Every reading of
// pairs tries it first and falls back to its full rules when it says no.
#pragma once

#include <cstdint>
#include <cstring>

namespace qf {

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ && (defined(__GNUC__) || defined(__clang__))
// The usual pair read eight bytes at a time (little-endian words).
namespace usual_pair {

inline constexpr uint64_t kOnes = 0x0101010101010101ull;
inline constexpr uint64_t kHigh = 0x8080808080808080ull;

inline uint64_t Load8(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// The high bit of each byte of v (ASCII) that is not a decimal digit.
inline uint64_t NonDigits(uint64_t v) {
  const uint64_t belowZero = ~((v | kHigh) - 0x30 * kOnes) & kHigh;
  const uint64_t aboveNine = (v + 0x46 * kOnes) & kHigh;
  return belowZero | aboveNine;
}

// Skips up to seven spaces at p; false when eight follow (p + 8 <= end).
inline bool SkipSpaces8(const char*& p) {
  const uint64_t other = Load8(p) ^ (0x20 * kOnes);
  if (other == 0) return false;
  p += __builtin_ctzll(other) >> 3;
  return true;
}

// Eight hexadecimal digits (either case), first digit most significant.
inline bool HexValue8(uint64_t v, uint32_t& value) {
  if (v & kHigh) return false;
  const uint64_t digit = ~NonDigits(v) & kHigh;
  const uint64_t lower = v | (0x20 * kOnes);
  const uint64_t fromA = ((lower | kHigh) - 0x61 * kOnes) & kHigh;
  const uint64_t pastF = (lower + 0x19 * kOnes) & kHigh;
  if ((digit | (fromA & ~pastF)) != kHigh) return false;
  uint64_t n = (v & (0x0F * kOnes)) + ((v >> 6) & kOnes) * 9;
  n = ((n << 4) | (n >> 8)) & 0x00FF00FF00FF00FFull;
  n = ((n << 8) | (n >> 16)) & 0x0000FFFF0000FFFFull;
  value = static_cast<uint32_t>((n << 16) | (n >> 32));
  return true;
}

}  // namespace usual_pair

// The usual pair: up to seven spaces, a decimal line number of one to seven
// digits, one to seven spaces, then the offset token: four characters other
// than a space or ":" (their bytes in `segment`), ":", eight hexadecimal
// digits, then a space or the end. False, and p unchanged, for any other
// shape: the full rules then read the pair.
inline bool ReadUsualPair(const char*& p, const char* end, uint32_t& line, uint32_t& offset, uint32_t& segment) {
  using namespace usual_pair;
  const char* q = p;
  if (end - q < 8 || !SkipSpaces8(q) || end - q < 8) return false;
  const uint64_t v = Load8(q);
  if (v & kHigh) return false;
  const uint64_t other = NonDigits(v);
  if (other == 0) return false;
  const int digits = __builtin_ctzll(other) >> 3;
  // The bytes after the digits: one or more spaces, then the offset token.
  const uint64_t after = (v >> (8 * digits)) ^ (0x20 * kOnes);
  if (digits == 0 || (after & 0xFF) != 0) return false;
  uint64_t d = v << (8 * (8 - digits));
  d = (d & (0x0F * kOnes)) * 2561 >> 8;
  d = (d & 0x00FF00FF00FF00FFull) * 6553601 >> 16;
  const auto number = static_cast<uint32_t>((d & 0x0000FFFF0000FFFFull) * 42949672960001ull >> 32);
  // Spaces that reach the end of v (its top bytes are shifted-in zeros,
  // which never read as spaces) are counted again from memory.
  const int spaces = __builtin_ctzll(after) >> 3;
  q += digits + spaces;
  if (digits + spaces >= 8) return false;
  if (end - q < 13 || (end - q > 13 && q[13] != ' ')) return false;
  // SSSS: with no blank or ":" among the four.
  uint32_t head;
  std::memcpy(&head, q, 4);
  const uint32_t blanks = head ^ 0x20202020u, colons = head ^ 0x3A3A3A3Au;
  const uint32_t zero = ((blanks - 0x01010101u) & ~blanks) | ((colons - 0x01010101u) & ~colons);
  if (q[4] != ':' || (zero & 0x80808080u) != 0) return false;
  if (!HexValue8(Load8(q + 5), offset)) return false;
  line = number;
  segment = head;
  p = q + 13;
  return true;
}

// The pair in the columns linkers write after the first pair of a line,
// twenty characters: the line number right-aligned in six, a space, then the
// offset token (as for ReadUsualPair), followed by a space or the end. Read
// at fixed places; false, and p unchanged, for any other shape. What it reads
// ReadUsualPair reads the same way.
inline bool ReadAlignedPair(const char*& p, const char* end, uint32_t& line, uint32_t& offset, uint32_t& segment) {
  using namespace usual_pair;
  constexpr std::ptrdiff_t kWidth = 20;
  if (end - p < kWidth || (end - p > kWidth && p[kWidth] != ' ') || p[6] != ' ' || p[11] != ':') return false;
  constexpr uint64_t kField = 0x0000FFFFFFFFFFFFull;  // the six characters of the number
  const uint64_t field = Load8(p) & kField;
  if (field & kHigh) return false;
  // Spaces, then one to six digits.
  const uint64_t blank = field ^ (0x20 * kOnes & kField);
  const uint64_t spaces = ~(((blank & 0x7F7F7F7F7F7F7F7Full) + 0x7F7F7F7F7F7F7F7Full) | blank) & kHigh & kField;
  const uint64_t nonDigits = NonDigits(field) & kField;
  if (nonDigits != spaces || (spaces & 0x0000800000000000ull) != 0) return false;
  const int leading = __builtin_ctzll(~spaces & kHigh & kField) >> 3;
  if (spaces != (leading == 0 ? 0 : (~0ull >> (64 - 8 * leading)) & kHigh)) return false;
  uint64_t d = (field | (0x10 * kOnes & kField)) << 16;  // spaces read as zeros
  d = (d & (0x0F * kOnes)) * 2561 >> 8;
  d = (d & 0x00FF00FF00FF00FFull) * 6553601 >> 16;
  const auto number = static_cast<uint32_t>((d & 0x0000FFFF0000FFFFull) * 42949672960001ull >> 32);
  uint32_t head;
  std::memcpy(&head, p + 7, 4);
  const uint32_t blanks = head ^ 0x20202020u, colons = head ^ 0x3A3A3A3Au;
  const uint32_t zero = ((blanks - 0x01010101u) & ~blanks) | ((colons - 0x01010101u) & ~colons);
  if ((zero & 0x80808080u) != 0 || !HexValue8(Load8(p + 12), offset)) return false;
  line = number;
  segment = head;
  p += kWidth;
  return true;
}
#else
inline bool ReadUsualPair(const char*&, const char*, uint32_t&, uint32_t&, uint32_t&) { return false; }
inline bool ReadAlignedPair(const char*&, const char*, uint32_t&, uint32_t&, uint32_t&) { return false; }
#endif

}  // namespace qf
