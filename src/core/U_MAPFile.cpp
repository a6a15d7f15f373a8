#include "U_MAPFile.h"

#include <algorithm>
#include <cstring>
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
// The number of a segment part of exactly four hexadecimal digits; -1 for
// any other text.
int32_t SegmentNumber(const char* p, std::size_t size) {
  if (size != 4) return -1;
  int32_t value = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    const int digit = HexDigitValue(p[k]);
    if (digit < 0) return -1;
    value = (value << 4) | digit;
  }
  return value;
}

// A line that may be the segment table's header: its first character above
// a blank is the "S" of "Start".
bool MaySegmentHeader(std::string_view line) {
  for (const char c : line) {
    if (static_cast<unsigned char>(c) > ' ') return c == 'S';
  }
  return false;
}

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
  // The segment table: its header may stand on any line, its rows follow it.
  SegmentTableReader segmentTable;
  bool tableRows = false, tableDone = false;
  const auto feedSegmentTable = [&](std::string_view line) {
    if (tableDone) return;
    if (tableRows) {
      tableDone = !segmentTable.AddLine(line);
    } else if (MaySegmentHeader(line) && IsSegmentTableHeader(line)) {
      tableRows = segmentTable.AddLine(line);
    }
  };
  // Running out of memory half-way must not leave part of a file answering
  // under the status of the previous one: the table is then empty and not
  // loaded.
  try {
    static constexpr std::string_view kHeader = "Line numbers";
    uint32_t current = InternSource("");
    LineIterator it(text);
    while (!it.AtEnd()) {
      for (; !it.AtEnd() && !StartsWith(*it, kHeader); ++it) feedSegmentTable(*it);
      if (it.AtEnd()) break;
      // A header needs two lines after it; otherwise it is read as data below.
      if (it.HasFollowing(2)) {
        current = InternSource(ExtractSourceFile(*it));
        feedSegmentTable(*it);
        ++it;
        feedSegmentTable(*it);
        ++it;
      }
      for (; !it.AtEnd() && !(*it).empty(); ++it) {
        feedSegmentTable(*it);
        ParseLine(TrimView(*it), current);
      }
    }
    ApplySegments(segmentTable.Segments());
  } catch (...) {
    Clear();
    loaded_ = false;
    throw;
  }
  loaded_ = count_ > 0;
}

void TMapFile::ApplySegments(const std::vector<MapSegment>& segments) {
  // How far the pairs of each code segment move: start - CodeBase, 32-bit.
  std::unordered_map<int32_t, uint32_t> distance;
  if (IsAbsoluteLayout(segments)) {
    for (const MapSegment& s : segments) {
      if (IsCodeClass(s.cls)) {
        distance.emplace(SegmentNumber(s.id.data(), s.id.size()),
                         static_cast<uint32_t>(s.start) - static_cast<uint32_t>(CodeBase));
      }
    }
  }
  // The settled key of every key read, and its distance.
  const std::size_t n = keys_.size();
  std::vector<uint32_t> settled(n);
  std::vector<uint32_t> moveBy(n, 0);
  bool unchanged = true;
  for (std::size_t k = 0; k < n; ++k) {
    const Key key = keys_[k];
    const auto found = distance.find(key.segment);
    if (found != distance.end()) moveBy[k] = found->second;
    settled[k] = InternKey(key.source, moveBy[k] != 0 ? key.segment : kNoSegment);
    unchanged = unchanged && settled[k] == k && moveBy[k] == 0;
  }
  if (unchanged) return;
  for (std::size_t b = 0; b < blocks_.size(); ++b) {
    Block& block = *blocks_[b];
    const int32_t size = std::min(kBlockSize, count_ - (static_cast<int32_t>(b) << kBlockShift));
    for (int32_t j = 0; j < size; ++j) {
      const uint32_t k = block.key[j];
      block.offset[j] = static_cast<int32_t>(static_cast<uint32_t>(block.offset[j]) + moveBy[k]);
      block.key[j] = settled[k];
    }
  }
}

void TMapFile::Clear() {
  blocks_.clear();
  count_ = 0;
  keys_.clear();
  keyIndex_.clear();
  sources_.clear();
  sourceIndex_.clear();
}

TLineOffset TMapFile::At(int32_t index) const {
  const Block& b = *blocks_[static_cast<std::size_t>(index >> kBlockShift)];
  const int32_t j = index & (kBlockSize - 1);
  return TLineOffset(sources_[keys_[b.key[j]].source], b.line[j], b.offset[j]);
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
        if (prevBlock.key[(i - 1) & (kBlockSize - 1)] == block.key[j]) return At(i - 1);
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
  const int32_t first = count_;
  ParseLine(text, InternSource(sourceFile));
  // Outside a load no segment is known: every pair counts as having none.
  for (int32_t i = first; i < count_; ++i) {
    Block& b = *blocks_[static_cast<std::size_t>(i >> kBlockShift)];
    uint32_t& key = b.key[i & (kBlockSize - 1)];
    key = InternKey(keys_[key].source, kNoSegment);
  }
}

void TMapFile::AddEntry(const std::string& sourceFile, int32_t line, int32_t offset) {
  Append(InternKey(InternSource(sourceFile), kNoSegment), line, offset);
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
  // Pairs of one line nearly always share their segment: its key is looked
  // up again only when the segment changes.
  int32_t keySegment = kNoSegment;
  uint32_t key = InternKey(source, kNoSegment);
  const auto keyOf = [&](int32_t segment) {
    if (segment != keySegment) {
      keySegment = segment;
      key = InternKey(source, segment);
    }
    return key;
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
      Append(keyOf(SegmentNumber(p - 13, 4)), static_cast<int32_t>(line), static_cast<int32_t>(offset));
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
    // The segment part: the text before the token's first ":".
    const auto* colon = static_cast<const char*>(std::memchr(offsetStart, ':', static_cast<std::size_t>(p - offsetStart)));
    const int32_t segment = colon ? SegmentNumber(offsetStart, static_cast<std::size_t>(colon - offsetStart)) : kNoSegment;
    Append(keyOf(segment), static_cast<int32_t>(line), static_cast<int32_t>(offset));
  }
}

void TMapFile::Append(uint32_t key, int32_t line, int32_t offset) {
  const int32_t j = count_ & (kBlockSize - 1);
  if (j == 0) blocks_.push_back(std::make_unique<Block>());
  Block& b = *blocks_.back();
  b.offset[j] = offset;
  b.line[j] = line;
  b.key[j] = key;
  ++count_;
}

uint32_t TMapFile::InternKey(uint32_t source, int32_t segment) {
  const uint64_t packed = (static_cast<uint64_t>(source) << 32) | static_cast<uint32_t>(segment);
  const auto found = keyIndex_.find(packed);
  if (found != keyIndex_.end()) return found->second;
  const auto index = static_cast<uint32_t>(keys_.size());
  keys_.push_back({source, segment});
  keyIndex_.emplace(packed, index);
  return index;
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
