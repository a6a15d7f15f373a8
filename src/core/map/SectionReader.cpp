#include "map/SectionReader.h"

#include <cstring>

#include "base/TextRules.h"
#include "map/AlignedLine.h"
#include "map/UsualPair.h"

namespace qf {
namespace {

constexpr std::string_view kHeader = "Line numbers";

int32_t SegmentDigits(const char* p, std::size_t size) {
  if (size != 4) return LineBatch::kNoSegment;
  int32_t value = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    const int digit = HexDigitValue(p[k]);
    if (digit < 0) return LineBatch::kNoSegment;
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

int32_t SegmentNumber(std::string_view part) { return SegmentDigits(part.data(), part.size()); }

std::string SectionSourceName(std::string_view headerLine) {
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

SectionReader::SectionReader(LineBatch& batch, const State& from)
    : batch_(batch),
      mode_(from.mode),
      header_(from.header),
      skipped_(from.skipped),
      segments_(from.segments),
      segmentRows_(from.segmentRows),
      segmentsDone_(from.segmentsDone) {
  SetSource(from.source);
}

void SectionReader::SetSource(std::string_view name) {
  source_ = static_cast<uint32_t>(batch_.sources.size());
  batch_.sources.emplace_back(name);
}

SectionReader::State SectionReader::Leave() const {
  State state;
  state.mode = mode_;
  state.header = header_;
  state.skipped = skipped_;
  state.source = batch_.sources[source_];
  state.segments = segments_;
  state.segmentRows = segmentRows_;
  state.segmentsDone = segmentsDone_;
  return state;
}

void SectionReader::ReadSegmentTable(std::string_view line) {
  if (segmentRows_) {
    segmentsDone_ = !segments_.AddLine(line);
  } else if (MaySegmentHeader(line) && IsSegmentTableHeader(line)) {
    segmentRows_ = segments_.AddLine(line);
  }
}

void SectionReader::AddLine(std::string_view line) {
  if (!segmentsDone_) ReadSegmentTable(line);
  switch (mode_) {
    case State::Seeking:
      if (StartsWith(line, kHeader)) {
        header_.assign(line.data(), line.size());
        mode_ = State::AfterHeader;
      }
      return;
    case State::AfterHeader:
      skipped_.assign(line.data(), line.size());
      mode_ = State::TwoAfterHeader;
      return;
    case State::TwoAfterHeader:
      // The header has two lines after it: it opens a section, and the line
      // after it is skipped whatever it holds.
      SetSource(SectionSourceName(header_));
      mode_ = State::InData;
      break;
    case State::InData:
      break;
  }
  if (line.empty()) {
    mode_ = State::Seeking;
  } else if (!AddAlignedLine(line)) {
    ParseLine(TrimView(line), source_, batch_);
  }
}

bool SectionReader::AddAlignedLine(std::string_view line) {
  AlignedLine pairs;
  const int n = ReadAlignedLine(line.data(), line.size(), pairs);
  if (n == 0) return false;
  batch_.Reserve(AlignedLine::kMostPairs);
  const uint32_t* const segment = pairs.segment;
  if (n == AlignedLine::kMostPairs && segmentChars_ != 0 &&
      (segment[0] & segment[1] & segment[2] & segment[3]) == segmentChars_ &&
      (segment[0] | segment[1] | segment[2] | segment[3]) == segmentChars_) {
    // The usual line: four pairs in the segment of the line before.
    batch_.JoinRun(source_, segmentNumber_);
    batch_.AddFourToRun(pairs.line, pairs.offset);
    return true;
  }
  for (int j = 0; j < n; ++j) {
    // The segment part is worked out again only when its characters change.
    const bool changed = segment[j] != segmentChars_;
    if (changed) {
      segmentChars_ = segment[j];
      segmentNumber_ = SegmentDigits(reinterpret_cast<const char*>(&segmentChars_), 4);
    }
    if (changed || j == 0) batch_.JoinRun(source_, segmentNumber_);
    batch_.AddToRun(static_cast<int32_t>(pairs.line[j]), static_cast<int32_t>(pairs.offset[j]));
  }
  return true;
}

std::size_t SectionReader::AddAlignedLines(std::string_view text) {
  // The segment table, when being read, sees every line; a line that begins
  // with a number is never its header.
  if (mode_ != State::InData || (segmentRows_ && !segmentsDone_)) return 0;
  return TakeAlignedLines(text, [this](const char* line) {
    return AddAlignedLine(std::string_view(line, AlignedLine::kPairWidth * AlignedLine::kMostPairs));
  });
}

void SectionReader::Finish() {
  // A header among the last two lines is read as a data line under the
  // source before it, and so is the line after it up to an empty one.
  if (mode_ == State::AfterHeader || mode_ == State::TwoAfterHeader) {
    ParseLine(TrimView(header_), source_, batch_);
    if (mode_ == State::TwoAfterHeader && !skipped_.empty()) ParseLine(TrimView(skipped_), source_, batch_);
  }
  mode_ = State::Seeking;
}

void SectionReader::ParseLine(std::string_view text, uint32_t source, LineBatch& batch) {
  // One pass over each token: the usual tokens (plain decimal line numbers,
  // offsets of hexadecimal digits behind a segment) are converted while they
  // are scanned; any other token is converted again by the full rules.
  // Each pair takes at least one character.
  batch.Reserve(text.size() + 1);
  const char* p = text.data();
  const char* const end = p + text.size();
  const auto skipSpaces = [&p, end]() {
    while (p < end && *p == ' ') ++p;
  };
  // The segment part of the pairs changes seldom: its number is worked out
  // again only when its four characters change.
  uint32_t segmentChars = 0;
  int32_t segmentNumber = LineBatch::kNoSegment;
  while (p < end) {
    {
      uint32_t line, offset, chars;
      if (ReadAlignedPair(p, end, line, offset, chars) || ReadUsualPair(p, end, line, offset, chars)) {
        if (chars != segmentChars || segmentChars == 0) {
          segmentChars = chars;
          segmentNumber = SegmentDigits(p - 13, 4);
        }
        batch.Add(source, segmentNumber, static_cast<int32_t>(line), static_cast<int32_t>(offset));
        continue;
      }
    }
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
      batch.Add(source, SegmentDigits(p - 13, 4), static_cast<int32_t>(line), static_cast<int32_t>(offset));
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
    const int32_t segment =
        colon ? SegmentDigits(offsetStart, static_cast<std::size_t>(colon - offsetStart)) : LineBatch::kNoSegment;
    batch.Add(source, segment, static_cast<int32_t>(line), static_cast<int32_t>(offset));
  }
}

}  // namespace qf
