// Lines of one text buffer as string_views, without copying or allocating per
// line. A line ends at CR LF, a lone CR or a lone LF (so LF CR is two line
// ends); a last line without a line end still counts, and a line end at the
// very end adds no empty line. The buffer must already be cut at its first NUL.
#pragma once

#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qf {

// The text as a MAP file is read: up to its first NUL.
inline std::string_view UpToFirstNul(std::string_view text) { return text.substr(0, text.find('\0')); }

class LineIterator {
 public:
  explicit LineIterator(std::string_view text) : text_(text) { Advance(); }

  bool AtEnd() const { return atEnd_; }
  std::string_view operator*() const { return line_; }

  // The current line and a step past it, as LineReader::Next gives lines:
  // false at the end.
  bool Next(std::string_view& line) {
    if (atEnd_) return false;
    line = line_;
    Advance();
    return true;
  }

  LineIterator& operator++() {
    Advance();
    return *this;
  }

  // Where the line after the current one starts (the size of the text when
  // none follows).
  std::size_t NextLineStart() const { return pos_; }
  // Goes on with the line that starts at pos, at or after NextLineStart().
  void SkipTo(std::size_t pos) {
    pos_ = pos;
    Advance();
  }

  // True when at least n further lines follow the current one.
  bool HasFollowing(int n) const {
    LineIterator probe = *this;
    for (int i = 0; i < n; ++i) {
      ++probe;
      if (probe.AtEnd()) return false;
    }
    return true;
  }

 private:
  void Advance() {
    if (pos_ >= text_.size()) {
      atEnd_ = true;
      line_ = std::string_view();
      return;
    }
    const char* base = text_.data();
    const std::size_t n = text_.size();
    const std::size_t end = NextLineEnd();
    line_ = std::string_view(base + pos_, end - pos_);
    if (end >= n) {
      pos_ = n;
    } else if (base[end] == '\r' && end + 1 < n && base[end + 1] == '\n') {
      pos_ = end + 2;
    } else {
      pos_ = end + 1;
    }
  }

  // The first CR or LF from pos_, n when there is none.
  std::size_t NextLineEnd() {
#if defined(__SSE2__)
    // Short lines: both ends are looked for in one pass, 16 bytes at a time.
    const char* base = text_.data();
    const std::size_t n = text_.size();
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    std::size_t at = pos_;
    for (int step = 0; step < 8 && at + 16 <= n; ++step, at += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + at));
      const int hits = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, lf), _mm_cmpeq_epi8(bytes, cr)));
      if (hits != 0) return at + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(hits)));
    }
#endif
    // The next CR and LF are each searched once and remembered, so a file
    // with CR LF ends costs two memchr passes in all.
    if (!primed_ || nextLf_ < pos_) nextLf_ = Find('\n');
    if (!primed_ || nextCr_ < pos_) nextCr_ = Find('\r');
    primed_ = true;
    return nextLf_ < nextCr_ ? nextLf_ : nextCr_;
  }

  std::size_t Find(char c) const {
    const void* hit = std::memchr(text_.data() + pos_, c, text_.size() - pos_);
    return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - text_.data()) : text_.size();
  }

  std::string_view text_;
  std::string_view line_;
  std::size_t pos_ = 0;
  std::size_t nextLf_ = 0;
  std::size_t nextCr_ = 0;
  bool atEnd_ = false;
  bool primed_ = false;
};

}  // namespace qf
