// A whole data line in the linkers' columns, checked in one go with SSE2:
// one to four pairs of twenty characters each, every pair being the line
// number right-aligned in six (spaces, then one to six digits), a space, a
// segment of four hexadecimal digits, ":" and eight hexadecimal digits, and
// every pair but the first beginning with a space.
// Such a line reads, trimmed, pair by pair (ReadUsualPair for the first,
// ReadAlignedPair for the others) to the same pairs; any other line says no
// here and is read by those rules, as is every line where SSE2 is missing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "base/LineIterator.h"
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
// read in lower case for the second range only (a byte below "0" turns into
// a digit when put in lower case).
struct Pattern {
  alignas(16) unsigned char from1[80], width1[80], from2[80], width2[80], lower[80];
};

constexpr Pattern MakePattern() {
  Pattern p{};
  for (int i = 0; i < 80; ++i) {
    const int r = i % 20;
    // A digit, unless said otherwise.
    unsigned char from1 = '0', width1 = 9, from2 = '0', width2 = 9, lower = 0;
    if ((r == 0 && i > 0) || r == 6) {
      from1 = from2 = ' ', width1 = width2 = 0;  // a space, also in front of every later pair
    } else if (r < 5) {
      from1 = ' ', width1 = 0;  // the number: a space or a digit
    } else if (r == 11) {
      from1 = from2 = ':', width1 = width2 = 0;
    } else if (r > 6) {
      from2 = 'a', width2 = 5, lower = 0x20;  // the segment (only hexadecimal digits here) and the offset
    }
    p.from1[i] = from1, p.width1[i] = width1, p.from2[i] = from2, p.width2[i] = width2, p.lower[i] = lower;
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
    const __m128i ok = _mm_or_si128(InRange(v, At(kPattern.from1, k), At(kPattern.width1, k)),
                                    InRange(lower, At(kPattern.from2, k), At(kPattern.width2, k)));
    all = _mm_and_si128(all, ok);
  }
  return _mm_movemask_epi8(all) == 0xFFFF;
}

// Two eight-byte pieces of a line, at a and b, in one register.
inline __m128i Load2x8(const char* a, const char* b) {
  return _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a)),
                            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b)));
}

// The numbers of the four pairs at p (checked): each is put at the top of
// eight digits with spaces as zeros, then pairs of digits, of those and of
// those again are multiplied and added.
inline __m128i Numbers(const char* p) {
  const __m128i low = _mm_set1_epi8(0x0F);
  const __m128i zero = _mm_setzero_si128();
  const __m128i tens = _mm_set1_epi32(0x0001000A);        // 10, 1
  const __m128i hundreds = _mm_set1_epi32(0x00010064);    // 100, 1
  const __m128i tenThousands = _mm_set1_epi32(0x00012710);  // 10000, 1
  __m128i fours[2];
  for (int h = 0; h < 2; ++h) {
    const __m128i digits = _mm_and_si128(_mm_slli_epi64(Load2x8(p + 40 * h, p + 40 * h + 20), 16), low);
    const __m128i twos = _mm_packs_epi32(_mm_madd_epi16(_mm_unpacklo_epi8(digits, zero), tens),
                                         _mm_madd_epi16(_mm_unpackhi_epi8(digits, zero), tens));
    fours[h] = _mm_madd_epi16(twos, hundreds);
  }
  return _mm_madd_epi16(_mm_packs_epi32(fours[0], fours[1]), tenThousands);
}

// The offsets of the four pairs at p (checked): hexadecimal digits to
// nibbles, then pairs of nibbles to bytes, of bytes to 16 bits, of those to
// 32 bits.
inline __m128i Offsets(const char* p) {
  const __m128i low = _mm_set1_epi8(0x0F);
  const __m128i one = _mm_set1_epi8(1);
  const __m128i byteHigh = _mm_set1_epi16(0x00F0);
  const __m128i bytes = _mm_set1_epi32(0x00010100);  // 256, 1
  const __m128i upper = _mm_set1_epi64x(0x00000000FFFF0000ll);
  __m128i halves[2];
  for (int h = 0; h < 2; ++h) {
    const __m128i v = Load2x8(p + 40 * h + 12, p + 40 * h + 32);
    // A letter has the 0x40 bit: its low four bits plus 9.
    const __m128i letter = _mm_and_si128(_mm_srli_epi16(v, 6), one);
    const __m128i nibbles = _mm_add_epi8(_mm_and_si128(v, low), _mm_add_epi8(_mm_slli_epi16(letter, 3), letter));
    const __m128i byteValues = _mm_or_si128(_mm_and_si128(_mm_slli_epi16(nibbles, 4), byteHigh), _mm_srli_epi16(nibbles, 8));
    const __m128i words = _mm_madd_epi16(byteValues, bytes);
    const __m128i values = _mm_or_si128(_mm_and_si128(_mm_slli_epi64(words, 16), upper), _mm_srli_epi64(words, 32));
    halves[h] = _mm_shuffle_epi32(values, _MM_SHUFFLE(3, 1, 2, 0));
  }
  return _mm_unpacklo_epi64(halves[0], halves[1]);
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
  uint64_t gaps = 0;
  for (int j = 0; j < AlignedLine::kMostPairs; ++j) {
    const char* pair = p + AlignedLine::kPairWidth * static_cast<std::size_t>(j);
    // The number's six characters are spaces and digits, the last a digit;
    // only the digits have the 0x10 bit, so a digit followed by a space
    // shows as a gap.
    const uint64_t field = Load8(pair);
    gaps |= (field << 8) & ~field & 0x0000101010101000ull;
    std::memcpy(&out.segment[j], pair + 7, 4);
  }
  if (gaps != 0) return 0;
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out.line), aligned_line::Numbers(p));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out.offset), aligned_line::Offsets(p));
  return static_cast<int>(size / AlignedLine::kPairWidth);
}
#else
inline int ReadAlignedLine(const char*, std::size_t, AlignedLine&) { return 0; }
#endif

// The whole lines of four pairs in the columns at the front of text, one
// after another, each handed to add(const char* line) with its 80
// characters until add says no or a line of another shape comes; returns the
// characters taken, line ends included (CR LF, lone CR or LF, as lines are
// read). A line must be followed by more text to be taken.
template <class Add>
std::size_t TakeAlignedLines(std::string_view text, Add add) {
  constexpr std::size_t kLine = AlignedLine::kPairWidth * AlignedLine::kMostPairs;
  std::size_t done = 0;
  while (text.size() - done > kLine) {
    const char* const line = text.data() + done;
    const char end = line[kLine];
    if ((end != '\n' && end != '\r') || !add(line)) break;
    const bool crLf = end == '\r' && done + kLine + 1 < text.size() && line[kLine + 1] == '\n';
    done += kLine + (crLf ? 2 : 1);
  }
  return done;
}

// Hands every line of text to reader.AddLine, the lines of pairs in the
// columns in runs through reader.AddAlignedLines (without the line
// iterator); as the line table's and the symbol map's readers take a piece.
template <class Reader>
void ReadLinesOf(std::string_view text, Reader& reader) {
  for (LineIterator it(text); !it.AtEnd();) {
    reader.AddLine(*it);
    const std::size_t next = it.NextLineStart();
    const std::size_t read = reader.AddAlignedLines(text.substr(next));
    if (read > 0) {
      it.SkipTo(next + read);
    } else {
      ++it;
    }
  }
}

}  // namespace qf
