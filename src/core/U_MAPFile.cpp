#include "U_MAPFile.h"

#include <algorithm>
#include <limits>

#include "Errors.h"
#include "LineIterator.h"
#include "TextFile.h"
#include "TextRules.h"

namespace qf {
namespace {

// The offset token as linkers write it: a four-character segment, ":" and
// eight hexadecimal digits, followed by a space or the end of the text. Read
// without branches on the digits; false (and p unchanged) for any other shape.
bool ReadUsualOffset(const char*& p, const char* end, uint32_t& offset) {
  constexpr std::ptrdiff_t kWidth = 13;
  if (end - p < kWidth || p[4] != ':' || (end - p > kWidth && p[kWidth] != ' ')) return false;
  for (int k = 0; k < 4; ++k) {
    if (p[k] == ' ' || p[k] == ':') return false;
  }
  int bad = 0;
  uint32_t value = 0;
  for (int k = 5; k < kWidth; ++k) {
    const int digit = HexDigitValue(p[k]);
    bad |= digit;
    value = (value << 4) | static_cast<uint32_t>(digit & 0xF);
  }
  if (bad < 0) return false;
  offset = value;  // eight digits never exceed 32 bits
  p += kWidth;
  return true;
}

}  // namespace

CrashAddress CrashAddressToOffset(std::string_view typed) {
  if (typed.size() < 2) return {CrashAddress::NoAddress, 0};
  int32_t value;
  if (SameText(typed.substr(1, 1), "x")) {
    value = StrToIntDef(typed, 0);
  } else {
    std::string prefixed = "0x";
    prefixed += typed;
    value = StrToIntDef(prefixed, 0);
  }
  if (value < CodeBase) return {CrashAddress::InvalidAddress, 0};
  return {CrashAddress::Valid, value - CodeBase};
}

void TMapFile::Load(const std::string& fileName, const FileSystem& fs) {
  // Read first: a file that cannot be read leaves the table untouched.
  const std::string text = LoadTextBuffer(fileName, fs);
  LoadFromText(text);
}

void TMapFile::LoadFromText(std::string_view text) {
  const auto nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);

  Clear();
  // Running out of memory half-way must not leave part of a file answering
  // under the status of the previous one: the table is then empty and not
  // loaded.
  try {
    static constexpr std::string_view kHeader = "Line numbers";
    uint32_t current = InternSource("");
    LineIterator it(text);
    while (!it.AtEnd()) {
      while (!it.AtEnd() && !StartsWith(*it, kHeader)) ++it;
      if (it.AtEnd()) break;
      // A header needs two lines after it; otherwise it is read as data below.
      if (it.HasFollowing(2)) {
        current = InternSource(ExtractSourceFile(*it));
        ++it;
        ++it;
      }
      for (; !it.AtEnd() && !(*it).empty(); ++it) ParseLine(TrimView(*it), current);
    }
  } catch (...) {
    Clear();
    loaded_ = false;
    throw;
  }
  loaded_ = count_ > 0;
}

void TMapFile::Clear() {
  blocks_.clear();
  count_ = 0;
  sources_.clear();
  sourceIndex_.clear();
}

TLineOffset TMapFile::At(int32_t index) const {
  const Block& b = *blocks_[static_cast<std::size_t>(index >> kBlockShift)];
  const int32_t j = index & (kBlockSize - 1);
  return TLineOffset(sources_[b.source[j]], b.line[j], b.offset[j]);
}

TLineOffset TMapFile::Entry(int32_t index) const {
  if (index < 0 || index >= count_) throw EListError(index);
  return At(index);
}

std::optional<TLineOffset> TMapFile::FindOffset(int32_t offset) const {
  if (!loaded_) return std::nullopt;
  // No offset is below INT32_MAX's "previous": the first entry never brackets.
  int32_t previous = std::numeric_limits<int32_t>::max();
  for (std::size_t b = 0; b < blocks_.size(); ++b) {
    const Block& block = *blocks_[b];
    const int32_t base = static_cast<int32_t>(b) << kBlockShift;
    const int32_t n = std::min(kBlockSize, count_ - base);
    const int32_t* offsets = block.offset.data();
    for (int32_t j = 0; j < n; ++j) {
      const int32_t o = offsets[j];
      if (o == offset) return At(base + j);
      if (o > offset && previous < offset) {
        const int32_t i = base + j;
        const Block& prevBlock = *blocks_[static_cast<std::size_t>((i - 1) >> kBlockShift)];
        if (prevBlock.source[(i - 1) & (kBlockSize - 1)] == block.source[j]) return At(i - 1);
      }
      previous = o;
    }
  }
  return std::nullopt;
}

std::string TMapFile::ExtractSourceFile(std::string_view headerLine) {
  const std::size_t p = Pos("(", headerLine);
  const std::size_t q = Pos(")", headerLine);
  if (p <= 1 || q <= 1) return "Unknown file";
  if (q < p) return std::string();
  // The name ends at the ")" that closes the first "(", so a path such as
  // C:\Program Files (x86)\X.dpr stays whole; an unclosed "(" ends at the first ")".
  std::size_t end = q - 1;  // 0-based index of the first ")"
  int depth = 0;
  for (std::size_t i = p - 1; i < headerLine.size(); ++i) {
    if (headerLine[i] == '(') {
      ++depth;
    } else if (headerLine[i] == ')' && --depth == 0) {
      end = i;
      break;
    }
  }
  return std::string(headerLine.substr(p, end - p));
}

void TMapFile::ParseLineNumbers(std::string_view text, const std::string& sourceFile) {
  ParseLine(text, InternSource(sourceFile));
}

void TMapFile::AddEntry(const std::string& sourceFile, int32_t line, int32_t offset) {
  Append(InternSource(sourceFile), line, offset);
}

void TMapFile::ParseLine(std::string_view text, uint32_t source) {
  // One pass over each token: the usual tokens (plain decimal line numbers,
  // offsets of hexadecimal digits behind a segment) are converted while they
  // are scanned; any other token is converted again by the full rules.
  const char* p = text.data();
  const char* const end = p + text.size();
  const auto skipSpaces = [&p, end]() {
    while (p < end && *p == ' ') ++p;
  };
  while (p < end) {
    skipSpaces();
    const char* const lineStart = p;
    uint32_t line = 0;
    bool linePlain = true;
    for (; p < end && *p != ' '; ++p) {
      const uint32_t digit = static_cast<uint32_t>(static_cast<unsigned char>(*p)) - '0';
      linePlain = linePlain && digit <= 9;
      line = line * 10 + digit;
    }
    const std::string_view lineToken(lineStart, static_cast<std::size_t>(p - lineStart));
    if (!linePlain || lineToken.empty() || lineToken.size() > 9) line = static_cast<uint32_t>(StrToIntDef(lineToken, 0));

    skipSpaces();
    uint32_t offset = 0;
    if (ReadUsualOffset(p, end, offset)) {
      Append(source, static_cast<int32_t>(line), static_cast<int32_t>(offset));
      continue;
    }
    const char* const offsetStart = p;
    int digits = 0;
    bool unusual = false;
    bool colonSeen = false;
    for (; p < end && *p != ' '; ++p) {
      const unsigned char c = static_cast<unsigned char>(*p);
      const int value = HexDigitValue(static_cast<char>(c));
      if (value >= 0 && offset <= 0x0FFFFFFFu) {
        offset = (offset << 4) | static_cast<uint32_t>(value);
        ++digits;
      } else if (c == ':' && !colonSeen && p != offsetStart) {
        // The segment before the first ":" is dropped.
        colonSeen = true;
        offset = 0;
        digits = 0;
        unusual = false;
      } else {
        colonSeen = colonSeen || c == ':';
        unusual = true;
      }
    }
    if (unusual || digits == 0) {
      std::string_view offsetToken(offsetStart, static_cast<std::size_t>(p - offsetStart));
      const auto colon = offsetToken.find(':');
      if (colon != std::string_view::npos && colon > 0) offsetToken.remove_prefix(colon + 1);
      offset = static_cast<uint32_t>(HexDigitsToIntDef(offsetToken, 0));
    }
    Append(source, static_cast<int32_t>(line), static_cast<int32_t>(offset));
  }
}

void TMapFile::Append(uint32_t source, int32_t line, int32_t offset) {
  const int32_t j = count_ & (kBlockSize - 1);
  if (j == 0) blocks_.push_back(std::make_unique<Block>());
  Block& b = *blocks_.back();
  b.offset[j] = offset;
  b.line[j] = line;
  b.source[j] = source;
  ++count_;
}

uint32_t TMapFile::InternSource(std::string_view name) {
  const auto found = sourceIndex_.find(name);
  if (found != sourceIndex_.end()) return found->second;
  const auto index = static_cast<uint32_t>(sources_.size());
  sources_.emplace_back(name);
  sourceIndex_.emplace(sources_.back(), index);
  return index;
}

}  // namespace qf
