// The byte-level work of the crash-report scanner: where in a text the
// next named form may start (MODULE+0xRVA or a label), where the next run
// of digits that may be an address starts and where a run ends, where the
// module name before "+" starts; whether a label stands at a byte; the
// value of a run of digits; a name in lower case. With SSE2 they look at
// sixteen bytes at a time, elsewhere (and in the last bytes of a text) byte
// by byte by the rules written out below; both give the same answers. The
// scanner's own rules then run only at the bytes found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__) && (defined(__GNUC__) || defined(__clang__))
#include <emmintrin.h>
#define QF_REPORT_BYTES_SSE2 1
#endif

namespace qf::report_bytes {

// The classes of a byte, looked up rather than compared.
enum : uint8_t { kHexDigit = 1, kWordChar = 2, kModuleChar = 4, kHexOrDash = 8 };
struct ByteTables {
  uint8_t classes[256] = {};
  char lower[256] = {};
  uint8_t hexValue[256] = {};  // of a hexadecimal digit
};
constexpr ByteTables MakeByteTables() {
  ByteTables t;
  for (int c = 0; c < 256; ++c) {
    const bool digit = c >= '0' && c <= '9', upper = c >= 'A' && c <= 'Z', lower = c >= 'a' && c <= 'z';
    const bool hexLetter = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    const bool word = digit || upper || lower || c == '_';
    t.classes[c] = uint8_t((digit || hexLetter ? kHexDigit : 0) | (word ? kWordChar : 0) |
                           (word || c == '.' || c == '-' ? kModuleChar : 0) |
                           (digit || hexLetter || c == '-' ? kHexOrDash : 0));
    t.lower[c] = char(upper ? c - 'A' + 'a' : c);
    t.hexValue[c] = uint8_t(digit ? c - '0' : hexLetter ? (c | 0x20) - 'a' + 10 : 0);
  }
  return t;
}
inline constexpr ByteTables kBytes = MakeByteTables();

inline bool IsHex(char c) { return kBytes.classes[uint8_t(c)] & kHexDigit; }
// A letter, a digit or "_".
inline bool IsWord(char c) { return kBytes.classes[uint8_t(c)] & kWordChar; }
inline char Lower(char c) { return kBytes.lower[uint8_t(c)]; }
// A character of a module's file name as it stands before "+0x": a word
// character, "." or "-".
inline bool IsModuleChar(char c) { return kBytes.classes[uint8_t(c)] & kModuleChar; }
inline bool IsHexOrDash(char c) { return kBytes.classes[uint8_t(c)] & kHexOrDash; }

// Whether the byte at p of a text of `size` bytes may be the first digit
// of an address: eight hexadecimal digits or more from there, after the
// start of the text, after a byte that is no word character, or after "x"
// (of "0x"). Any other digit is within a run, starts a run that follows a
// word character, or starts a run too short: none of them an address.
inline bool MayStartAddress(const char* text, std::size_t size, std::size_t p) {
  if (size - p < 8 || (p > 0 && IsWord(text[p - 1]) && Lower(text[p - 1]) != 'x')) return false;
  for (std::size_t k = p; k < p + 8; ++k)
    if (!IsHex(text[k])) return false;
  return true;
}

// Whether a named form may start at the byte p of a text of `size` bytes:
// "+0x" (of MODULE+0xRVA), or the first three letters of a label in any
// case: "fau" ("Faulting module name:", "Faulting application name:",
// "Fault offset:") and, with `in`, "in " ("in module '").
inline bool MayStartNamed(const char* text, std::size_t size, std::size_t p, bool in) {
  if (size - p < 3) return false;
  const char c = Lower(text[p]), c1 = Lower(text[p + 1]), c2 = Lower(text[p + 2]);
  return (c == '+' && c1 == '0' && c2 == 'x') || (c == 'f' && c1 == 'a' && c2 == 'u') ||
         (in && c == 'i' && c1 == 'n' && c2 == ' ');
}

// A label in lower case, followed by zeros up to 32 bytes (its bytes are
// read as two blocks).
struct Label {
  char text[32] = {};
  std::size_t size = 0;
};
constexpr Label MakeLabel(std::string_view text) {
  Label label;
  for (char c : text) label.text[label.size++] = c;  // up to 32 bytes: longer fails to compile
  return label;
}

#if defined(QF_REPORT_BYTES_SSE2)
namespace sse2 {

inline __m128i Load(const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline __m128i Set(char c) { return _mm_set1_epi8(c); }

// Whether v - from <= width for each byte, unsigned.
inline __m128i InRange(__m128i v, char from, char width) {
  const __m128i w = Set(width);
  return _mm_cmpeq_epi8(_mm_max_epu8(_mm_sub_epi8(v, Set(from)), w), w);
}

// Setting the 0x20 bit puts a letter in lower case and leaves a digit as it
// is; of the other bytes, none becomes a letter.
inline __m128i Lower(__m128i v) { return _mm_or_si128(v, Set(0x20)); }

// Every letter in lower case, the other bytes as they are.
inline __m128i LowerLetters(__m128i v) { return _mm_or_si128(v, _mm_and_si128(InRange(v, 'A', 25), Set(0x20))); }

inline __m128i Hex(__m128i v) { return _mm_or_si128(InRange(v, '0', 9), InRange(Lower(v), 'a', 5)); }

inline __m128i Word(__m128i v) {
  return _mm_or_si128(_mm_or_si128(InRange(v, '0', 9), InRange(Lower(v), 'a', 25)), _mm_cmpeq_epi8(v, Set('_')));
}

inline __m128i ModuleChar(__m128i v) {
  return _mm_or_si128(Word(v), _mm_or_si128(_mm_cmpeq_epi8(v, Set('.')), _mm_cmpeq_epi8(v, Set('-'))));
}

inline __m128i HexOrDash(__m128i v) { return _mm_or_si128(Hex(v), _mm_cmpeq_epi8(v, Set('-'))); }

// The first byte in [from, to) whose bit blockBits(p) sets (the bits of the
// sixteen bytes at p), `to` if none: true and `from` set to it, when the
// blocks up to there could be read (blockBits(p) reads no further than
// p + 16 <= readEnd). Else false, `from` left at the first byte not looked
// at. After the first block (the answer is often near), blocks are looked
// at four at a time while they can be.
template <class BlockBits>
bool FindInBlocks(std::size_t& from, std::size_t to, std::size_t readEnd, BlockBits blockBits) {
  const auto found = [&from, to](std::size_t at) {
    from = at < to ? at : to;
    return true;
  };
  if (from < to && from + 16 <= readEnd) {
    if (const unsigned bits = blockBits(from)) return found(from + unsigned(__builtin_ctz(bits)));
    from += 16;
  }
  for (; from < to && from + 64 <= readEnd; from += 64) {
    const uint64_t bits = uint64_t(blockBits(from)) | uint64_t(blockBits(from + 16)) << 16 |
                          uint64_t(blockBits(from + 32)) << 32 | uint64_t(blockBits(from + 48)) << 48;
    if (bits != 0) return found(from + unsigned(__builtin_ctzll(bits)));
  }
  for (; from < to && from + 16 <= readEnd; from += 16) {
    if (const unsigned bits = blockBits(from)) return found(from + unsigned(__builtin_ctz(bits)));
  }
  if (from < to) return false;
  from = to;
  return true;
}

// The start of the run of bytes that ends at `end`, each with its bit set
// in inBits(p) (the bits of the sixteen bytes at p), looking at whole blocks
// back to the start of the text; without the run's start, `end` is left
// after the last byte not looked at.
template <class InBits>
bool FindRunStartInBlocks(std::size_t& end, InBits inBits) {
  for (; end >= 16; end -= 16) {
    const std::size_t block = end - 16;
    const unsigned outside = inBits(block) ^ 0xFFFFu;
    if (outside != 0) {
      end = block + (31 - unsigned(__builtin_clz(outside))) + 1;  // after the last byte outside
      return true;
    }
  }
  return false;
}

}  // namespace sse2
#endif

// The first p in [from, to) where MayStartAddress holds; else `to`.
inline std::size_t NextAddressStart(const char* text, std::size_t size, std::size_t from, std::size_t to) {
  if (from == 0) {
    if (to == 0 || MayStartAddress(text, size, 0)) return 0;
    from = 1;
  }
#if defined(QF_REPORT_BYTES_SSE2)
  const auto blockBits = [text](std::size_t p) {
    using namespace sse2;
    const __m128i before = Load(text + p - 1), hex = Hex(Load(text + p));
    const __m128i wordNotX = _mm_andnot_si128(_mm_cmpeq_epi8(Lower(before), Set('x')), Word(before));
    const unsigned starts = unsigned(_mm_movemask_epi8(_mm_andnot_si128(wordNotX, hex)));
    // A bit for each byte of this block and the next that is a digit, then
    // for each that is followed by seven more.
    uint32_t digits = uint32_t(_mm_movemask_epi8(hex)) | uint32_t(_mm_movemask_epi8(Hex(Load(text + p + 16)))) << 16;
    digits &= digits >> 1;
    digits &= digits >> 2;
    digits &= digits >> 4;
    return starts & digits;
  };
  // Each block reads the block after it.
  if (size >= 16 && sse2::FindInBlocks(from, to, size - 16, blockBits)) return from;
#endif
  while (from < to && !MayStartAddress(text, size, from)) ++from;
  return from;
}

// The first p in [from, to) that holds no hexadecimal digit, of a text of
// `size` bytes; else `to`.
inline std::size_t HexRunEnd(const char* text, std::size_t size, std::size_t from, std::size_t to) {
#if defined(QF_REPORT_BYTES_SSE2)
  const auto blockBits = [text](std::size_t p) {
    using namespace sse2;
    return unsigned(_mm_movemask_epi8(Hex(Load(text + p)))) ^ 0xFFFFu;
  };
  if (sse2::FindInBlocks(from, to, size, blockBits)) return from;
#else
  static_cast<void>(size);  // how far blocks may read
#endif
  while (from < to && IsHex(text[from])) ++from;
  return from;
}

// The first p in [from, size) where MayStartNamed holds; else `size`.
inline std::size_t NextNamedStart(const char* text, std::size_t size, std::size_t from, bool in) {
#if defined(QF_REPORT_BYTES_SSE2)
  const auto blockBits = [text, in](std::size_t p) {
    using namespace sse2;
    const __m128i v = Load(text + p), v1 = Load(text + p + 1), v2 = Load(text + p + 2);
    const __m128i lower = Lower(v), lower1 = Lower(v1), lower2 = Lower(v2);
    const auto is = [](__m128i bytes, char c) { return _mm_cmpeq_epi8(bytes, Set(c)); };
    const auto all = [](__m128i a, __m128i b, __m128i c) { return _mm_and_si128(_mm_and_si128(a, b), c); };
    __m128i hits = _mm_or_si128(all(is(v, '+'), is(v1, '0'), is(lower2, 'x')),
                                all(is(lower, 'f'), is(lower1, 'a'), is(lower2, 'u')));
    if (in) hits = _mm_or_si128(hits, all(is(lower, 'i'), is(lower1, 'n'), is(v2, ' ')));
    return unsigned(_mm_movemask_epi8(hits));
  };
  // Each block reads two bytes past its end.
  if (size >= 2 && sse2::FindInBlocks(from, size, size - 2, blockBits)) return from;
#endif
  while (from < size && !MayStartNamed(text, size, from, in)) ++from;
  return from;
}

// Whether `label` stands at `at` of a text of `size` bytes, in any case.
inline bool LabelAt(const char* text, std::size_t size, std::size_t at, const Label& label) {
  if (size - at < label.size) return false;
#if defined(QF_REPORT_BYTES_SSE2)
  if (size - at >= 32) {
    using namespace sse2;
    const auto sameBits = [&](int half) {
      const __m128i v = LowerLetters(Load(text + at + 16 * half));
      return unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, Load(label.text + 16 * half))));
    };
    const uint32_t wanted = label.size >= 32 ? ~uint32_t(0) : (uint32_t(1) << label.size) - 1;
    return ((sameBits(0) | sameBits(1) << 16) & wanted) == wanted;
  }
#endif
  for (std::size_t i = 0; i < label.size; ++i)
    if (Lower(text[at + i]) != label.text[i]) return false;
  return true;
}

// The value of the hexadecimal digits in [from, to) (1 to 16 of them).
inline uint64_t HexRunValue(const char* text, std::size_t from, std::size_t to) {
#if defined(QF_REPORT_BYTES_SSE2)
  if (to >= 16) {
    using namespace sse2;
    // The sixteen bytes that end with the run, each digit as its value (the
    // low four bits, and 9 more for a letter: letters have the 0x40 bit),
    // the bytes before the run as zeros.
    const __m128i v = Load(text + to - 16);
    const __m128i letter = _mm_and_si128(_mm_srli_epi16(v, 6), Set(1));
    const __m128i index = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m128i inRun = _mm_cmpgt_epi8(index, Set(char(15 - (to - from))));
    const __m128i nibbles =
        _mm_and_si128(_mm_add_epi8(_mm_and_si128(v, Set(0x0F)), _mm_add_epi8(_mm_slli_epi16(letter, 3), letter)), inRun);
    // Two digits to a byte, the first one high; the eight bytes, first one
    // highest, make the value.
    const __m128i pairs = _mm_or_si128(_mm_and_si128(_mm_slli_epi16(nibbles, 4), _mm_set1_epi16(0x00F0)),
                                       _mm_srli_epi16(nibbles, 8));
    uint64_t bytes;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(&bytes), _mm_packus_epi16(pairs, _mm_setzero_si128()));
    return __builtin_bswap64(bytes);
  }
#endif
  uint64_t value = 0;
  for (; from < to; ++from) value = value << 4 | kBytes.hexValue[uint8_t(text[from])];
  return value;
}

// The `count` bytes at `from` of a text of `size` bytes, every letter in
// lower case, into `out`.
inline void LowerLettersInto(const char* text, std::size_t size, std::size_t from, std::size_t count, std::string& out) {
  out.resize(count);
#if defined(QF_REPORT_BYTES_SSE2)
  if (size >= 16) {
    using namespace sse2;
    const auto lowered = [text](std::size_t p) { return LowerLetters(Load(text + p)); };
    char* const to = &out[0];
    if (count >= 16) {
      // Whole blocks, the last one ending with the bytes.
      for (std::size_t k = 0; k < count; k += 16) {
        const std::size_t at = count - k >= 16 ? k : count - 16;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at), lowered(from + at));
      }
    } else {
      // One block that holds the bytes.
      const std::size_t at = from <= size - 16 ? from : size - 16;
      char block[16];
      _mm_storeu_si128(reinterpret_cast<__m128i*>(block), lowered(at));
      std::memcpy(to, block + (from - at), count);
    }
    return;
  }
#else
  static_cast<void>(size);  // how far blocks may read
#endif
  for (std::size_t k = 0; k < count; ++k) out[k] = Lower(text[from + k]);
}

// The first byte of the run of module characters that ends at `end`.
inline std::size_t ModuleNameStart(const char* text, std::size_t end) {
#if defined(QF_REPORT_BYTES_SSE2)
  const auto inBits = [text](std::size_t p) { return unsigned(_mm_movemask_epi8(sse2::ModuleChar(sse2::Load(text + p)))); };
  if (sse2::FindRunStartInBlocks(end, inBits)) return end;
#endif
  while (end > 0 && IsModuleChar(text[end - 1])) --end;
  return end;
}

// The first byte of the run of hexadecimal digits and "-" that ends at `end`.
inline std::size_t HexOrDashStart(const char* text, std::size_t end) {
#if defined(QF_REPORT_BYTES_SSE2)
  const auto inBits = [text](std::size_t p) { return unsigned(_mm_movemask_epi8(sse2::HexOrDash(sse2::Load(text + p)))); };
  if (sse2::FindRunStartInBlocks(end, inBits)) return end;
#endif
  while (end > 0 && IsHexOrDash(text[end - 1])) --end;
  return end;
}

}  // namespace qf::report_bytes
