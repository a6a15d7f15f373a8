// A whole data line in the linkers' columns, checked in one go with SSE2:
// one to four pairs of twenty characters each, every pair being the line
// number right-aligned in six (spaces, then one to six digits), a space, a
// segment of four hexadecimal digits, ":" and eight hexadecimal digits, and
// every pair but the first beginning with a space.
// Such a line reads, trimmed, pair by pair (ReadUsualPair for the first,
// ReadAlignedPair for the others) to the same pairs; any other line says no
// here and is read by those rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "map/UsualPair.h"

#if defined(__SSE2__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ && \
    (defined(__GNUC__) || defined(__clang__))
#include <emmintrin.h>
#define QF_ALIGNED_LINE 1
#endif

namespace qf {

struct AlignedLine {
  static constexpr std::size_t kPairWidth = 20;
  static constexpr int kMostPairs = 4;
  uint32_t line[kMostPairs];
  uint32_t offset[kMostPairs];
  uint32_t segment[kMostPairs];  // the four bytes before ":"
};

#if defined(QF_ALIGNED_LINE)
namespace aligned_line {

// Each of the 80 characters of four pairs is checked against one or two
// ranges of bytes: it passes when it lies in either. Hexadecimal digits are
// read in lower case for the second range.
struct Pattern {
  alignas(16) unsigned char from1[80], width1[80], from2[80], width2[80], lower[80];
};

constexpr Pattern MakePattern() {
  Pattern p{};
  for (int i = 0; i < 80; ++i) {
    const int r = i % 20;
    unsigned char from = '0', width = 9;  // a digit
    bool hex = false;
    if ((r == 0 && i > 0) || r == 6) {
      from = ' ', width = 0;  // a space, also in front of every later pair
    } else if (r < 5) {
      from = ' ', width = '9' - ' ';  // the number: a space or a digit, checked again by ReadAlignedLine
    } else if (r == 11) {
      from = ':', width = 0;
    } else if (r > 6) {
      hex = true;  // the segment (here only hexadecimal digits) and the offset
    }
    p.from1[i] = from, p.width1[i] = width;
    p.from2[i] = hex ? 'a' : from, p.width2[i] = hex ? 5 : width;
    p.lower[i] = hex ? 0x20 : 0;
  }
  return p;
}

inline constexpr Pattern kPattern = MakePattern();

// Four pairs that fill up a shorter line, so that every line is checked as
// four pairs.
inline constexpr char kFiller[] =
    "     0 0000:00000000     0 0000:00000000     0 0000:00000000     0 0000:00000000";

inline __m128i At(const unsigned char* bytes, int k) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(bytes + 16 * k));
}

// Whether v - from <= width for every byte, unsigned.
inline __m128i InRange(__m128i v, __m128i from, __m128i width) {
  return _mm_cmpeq_epi8(_mm_max_epu8(_mm_sub_epi8(v, from), width), width);
}

// Whether each of the 80 bytes at p lies in its ranges.
inline bool InTheirRanges(const char* p) {
  __m128i all = _mm_set1_epi8(-1);
  for (int k = 0; k < 5; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    const __m128i lower = _mm_or_si128(v, At(kPattern.lower, k));
    const __m128i ok = _mm_or_si128(InRange(lower, At(kPattern.from1, k), At(kPattern.width1, k)),
                                    InRange(lower, At(kPattern.from2, k), At(kPattern.width2, k)));
    all = _mm_and_si128(all, ok);
  }
  return _mm_movemask_epi8(all) == 0xFFFF;
}

}  // namespace aligned_line

// The pairs of a line in the columns; 0 for any other line (pairs taken
// trimmed). The line holds no line end.
inline int ReadAlignedLine(const char* text, std::size_t size, AlignedLine& out) {
  using namespace usual_pair;
  constexpr std::size_t kFull = AlignedLine::kPairWidth * AlignedLine::kMostPairs;
  if (size == 0 || size > kFull || size % AlignedLine::kPairWidth != 0) return 0;
  const char* p = text;
  char padded[kFull];
  if (size < kFull) {
    // A short line (the last one of a section) is checked with filler pairs.
    std::memcpy(padded, aligned_line::kFiller, kFull);
    std::memcpy(padded, text, size);
    p = padded;
  }
  if (!aligned_line::InTheirRanges(p)) return 0;
  uint64_t wrong = 0;
  for (int j = 0; j < AlignedLine::kMostPairs; ++j) {
    const char* pair = p + AlignedLine::kPairWidth * static_cast<std::size_t>(j);
    // The number, six characters from " " to "9", the last a digit: of
    // these only the digits have the 0x10 bit, the others must be spaces
    // (0x20), and a digit followed by a space is a gap.
    const uint64_t field = Load8(pair) & 0x0000FFFFFFFFFFFFull;
    const uint64_t others = (~field >> 4) & 0x0000010101010101ull;
    wrong |= (field & others * 0x0F) | ((field << 8) & ~field & 0x0000101010101000ull);
    // Spaces read as zeros, the six characters at the top.
    uint64_t d = (field | (0x10 * kOnes & 0x0000FFFFFFFFFFFFull)) << 16;
    d = (d & (0x0F * kOnes)) * 2561 >> 8;
    d = (d & 0x00FF00FF00FF00FFull) * 6553601 >> 16;
    out.line[j] = static_cast<uint32_t>((d & 0x0000FFFF0000FFFFull) * 42949672960001ull >> 32);
    const uint64_t v = Load8(pair + 12);
    uint64_t n = (v & (0x0F * kOnes)) + ((v >> 6) & kOnes) * 9;
    n = ((n << 4) | (n >> 8)) & 0x00FF00FF00FF00FFull;
    n = ((n << 8) | (n >> 16)) & 0x0000FFFF0000FFFFull;
    out.offset[j] = static_cast<uint32_t>((n << 16) | (n >> 32));
    std::memcpy(&out.segment[j], pair + 7, 4);
  }
  return wrong == 0 ? static_cast<int>(size / AlignedLine::kPairWidth) : 0;
}
#else
inline int ReadAlignedLine(const char*, std::size_t, AlignedLine&) { return 0; }
#endif

}  // namespace qf
