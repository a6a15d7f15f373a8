// The slow libFuzzer target: the cross-checks. The input is loaded as a MAP
// file and the line table is checked against a plain line-by-line reading of
// the same rules, against a reading piece by piece on one thread and on two,
// and slices of it are looked up as typed crash addresses; the symbol map's
// answers around every row are checked against a plain reading of the
// symbols; the input read as a crash report finds its addresses again; an
// executable image (an input that starts with "MZ") is read again cut short.
// The fast targets read each input once and check invariants only.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "SymbolizedCheck.h"
#include "../unit/TextFileSystem.h"
#include "ReferenceSymbolMap.h"
#include "crash/CrashReport.h"
#include "image/PeVersion.h"
#include "base/FileSystem.h"
#include "map/LookupTexts.h"
#include "map/MapSegments.h"
#include "map/SymbolMap.h"
#include "base/TextRules.h"
#include "map/U_MAPFile.h"

namespace {

struct Ref {
  std::string source;
  int32_t line;
  int32_t offset;
  std::string segment;  // kept only when the pair was moved
};

// The segment table: the first header line, the rows right after it.
std::vector<qf::MapSegment> ReferenceSegments(const std::vector<std::string>& lines) {
  std::vector<qf::MapSegment> rows;
  std::size_t at = 0;
  while (at < lines.size() && !qf::IsSegmentTableHeader(lines[at])) ++at;
  for (++at; at < lines.size(); ++at) {
    auto row = qf::ParseSegmentRow(lines[at]);
    if (!row) break;
    rows.push_back(*row);
  }
  return rows;
}

// The reading rules, step by step, on a list of lines (no shortcuts).
std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  std::string current;
  bool pending = false;
  for (std::size_t i = 0; i < text.size() && text[i] != '\0'; ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(current);
      current.clear();
      pending = false;
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      current += c;
      pending = true;
    }
  }
  if (pending) lines.push_back(current);
  return lines;
}

void ReferenceParse(const std::string& text, const std::string& source, const std::vector<qf::MapSegment>& segments,
                    std::vector<Ref>& out) {
  std::string rest = text;
  while (!rest.empty()) {
    std::size_t i = 0;
    while (i < rest.size() && rest[i] == ' ') ++i;
    std::size_t j = i;
    while (j < rest.size() && rest[j] != ' ') ++j;
    const std::string first = rest.substr(i, j - i);
    while (j < rest.size() && rest[j] == ' ') ++j;
    std::size_t k = j;
    while (k < rest.size() && rest[k] != ' ') ++k;
    std::string second = rest.substr(j, k - j);
    rest = rest.substr(k);
    const std::size_t colon = second.find(':');
    std::string segment;
    if (colon != std::string::npos && colon > 0) {
      segment = second.substr(0, colon);
      second = second.substr(colon + 1);
    }
    uint32_t offset = static_cast<uint32_t>(qf::StrToIntDef("0x" + second, 0));
    uint32_t moveBy = 0;
    std::string movedSegment;
    if (qf::IsAbsoluteLayout(segments)) {
      for (const qf::MapSegment& s : segments) {
        if (qf::IsCodeClass(s.cls) && qf::SameText(s.id, segment)) {
          moveBy = static_cast<uint32_t>(s.start) - static_cast<uint32_t>(qf::CodeBase);
          movedSegment = s.id;
          break;
        }
      }
    }
    out.push_back({source, qf::StrToIntDef(first, 0), static_cast<int32_t>(offset + moveBy),
                   moveBy != 0 ? movedSegment : std::string()});
  }
}

std::vector<Ref> ReferenceLoad(std::string_view text) {
  const std::vector<std::string> lines = SplitLines(text);
  const std::vector<qf::MapSegment> segments = ReferenceSegments(lines);
  std::vector<Ref> entries;
  std::string source;
  std::size_t at = 0;
  while (at < lines.size()) {
    while (at < lines.size() && lines[at].compare(0, 12, "Line numbers") != 0) ++at;
    if (at >= lines.size()) break;
    if (lines.size() - at > 2) {
      source = qf::TMapFile::ExtractSourceFile(lines[at]);
      at += 2;
    }
    for (; at < lines.size() && !lines[at].empty(); ++at) ReferenceParse(qf::Trim(lines[at]), source, segments, entries);
  }
  return entries;
}

std::optional<std::size_t> ReferenceFind(const std::vector<Ref>& entries, int32_t offset) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].offset == offset) return i;
    if (i > 0 && entries[i].offset > offset && entries[i - 1].offset < offset &&
        entries[i].source == entries[i - 1].source && entries[i].segment == entries[i - 1].segment)
      return i - 1;
  }
  return std::nullopt;
}

void CheckLookup(const qf::TMapFile& map, const std::vector<Ref>& ref, int32_t offset) {
  const auto hit = map.FindOffset(offset);
  const auto want = map.Loaded() ? ReferenceFind(ref, offset) : std::nullopt;
  QF_CHECK(hit.has_value() == want.has_value());
  if (!hit) return;
  const Ref& r = ref[*want];
  QF_CHECK(hit->Line() == r.line && hit->Offset() == r.offset && hit->SourceFile() == r.source);
  QF_CHECK(hit->Offset() <= offset);
}

void CheckAddress(const qf::TMapFile& map, const std::vector<Ref>& ref, std::string_view typed) {
  const qf::CrashAddress address = qf::CrashAddressToOffset(typed);
  if (typed.size() < 2) {
    QF_CHECK(address.kind == qf::CrashAddress::NoAddress);
  } else {
    const bool hasX = typed[1] == 'x' || typed[1] == 'X';
    const int32_t value = qf::StrToIntDef(hasX ? std::string(typed) : "0x" + std::string(typed), 0);
    if (value < qf::CodeBase) {
      QF_CHECK(address.kind == qf::CrashAddress::InvalidAddress);
    } else {
      QF_CHECK(address.kind == qf::CrashAddress::Valid);
      QF_CHECK(address.offset >= 0 && address.offset == value - qf::CodeBase);
      CheckLookup(map, ref, address.offset);
    }
  }
  const qf::SearchAnswer answer = qf::AnswerSearch(map, typed);
  if (!map.Loaded()) {
    QF_CHECK(answer.kind == qf::SearchAnswer::LoadFirst);
  } else if (address.kind == qf::CrashAddress::NoAddress) {
    QF_CHECK(answer.kind == qf::SearchAnswer::Silent && answer.text.empty());
  } else if (address.kind == qf::CrashAddress::InvalidAddress) {
    QF_CHECK(answer.kind == qf::SearchAnswer::Invalid);
  } else {
    QF_CHECK(answer.kind == (map.FindOffset(address.offset) ? qf::SearchAnswer::Found : qf::SearchAnswer::NotFound));
  }
}

void CheckAgainstReference(const qf::Symbolized& s, const qf::fuzz::ReferenceAnswer& r) {
  QF_CHECK(s.inCode == r.inCode);
  if (!s.inCode) return;
  QF_CHECK(s.segment == r.segment && s.unit == r.unit && s.function == r.function && s.file == r.file &&
           s.line == r.line);
  QF_CHECK(!s.function || s.functionOffset == r.functionOffset);
}

void CheckSymbolMap(std::string_view text, const std::vector<std::string>& lines) {
  const qf::SymbolMap map = qf::SymbolMap::FromText(text);
  const qf::fuzz::ReferenceSymbolMap reference(lines);
  QF_CHECK(map.ImageBase() == reference.ImageBase());
  QF_CHECK(map.CodeSegments().size() == reference.Segments().size());
  for (std::size_t k = 0; k < map.CodeSegments().size(); ++k) {
    const qf::CodeSegment &a = map.CodeSegments()[k], &b = reference.Segments()[k];
    QF_CHECK(a.id == b.id && a.name == b.name && a.start == b.start && a.length == b.length);
  }

  std::vector<uint64_t> addresses = {0, UINT64_MAX, map.ImageBase(), 0x401000};
  // Runs of eight characters of the input read as hexadecimal offsets from
  // each segment's start.
  std::vector<uint64_t> offsets;
  for (std::size_t at = 0; at + 8 <= text.size() && offsets.size() < 32; at += 5) {
    const int32_t v = qf::HexDigitsToIntDef(text.substr(at, 8), -1);
    if (v != -1) offsets.push_back(static_cast<uint32_t>(v));
  }
  for (const qf::CodeSegment& c : map.CodeSegments()) {
    for (const uint64_t o : offsets) addresses.push_back(c.start + o);
  }
  for (const uint64_t a : reference.Landmarks()) addresses.push_back(a);
  for (const uint64_t a : addresses) {
    qf::fuzz::CheckedSymbolize(map, a);
    CheckAgainstReference(map.Symbolize(a), reference.Answer(a));
  }

  // The same lines fed one by one give the same answers.
  qf::SymbolMap::Builder builder;
  for (const std::string& line : lines) builder.AddLine(line);
  const qf::SymbolMap again = builder.Finish();
  QF_CHECK(again.CodeSegments().size() == map.CodeSegments().size() && again.ImageBase() == map.ImageBase());
  // ... and answered together, in any order, as one by one.
  const std::vector<qf::Symbolized> together = again.Symbolize(addresses);
  QF_CHECK(together.size() == addresses.size());
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    const qf::Symbolized x = map.Symbolize(addresses[i]), y = together[i];
    QF_CHECK(x.address == y.address && x.inCode == y.inCode && x.segment == y.segment && x.unit == y.unit && x.function == y.function &&
             x.functionOffset == y.functionOffset && x.file == y.file && x.line == y.line);
  }
}

// An image cut short never finds a version other than the whole image's.
void CheckPeVersionPrefixes(std::string_view image) {
  const qf::PeFileVersion whole = qf::ReadPeFileVersion(image);
  QF_CHECK((whole.status == qf::PeFileVersion::Found) == !whole.Text().empty());
  for (std::size_t cut = image.size() > 64 ? image.size() - 64 : 0; cut < image.size(); ++cut) {
    const qf::PeFileVersion part = qf::ReadPeFileVersion(image.substr(0, cut));
    if (part.status == qf::PeFileVersion::Found) QF_CHECK(part.Text() == whole.Text());
  }
}

// The input served as a file in reads of 1 to 13 bytes.
qf::test::TextFileSystem InPieces(std::string_view text) { return qf::test::TextFileSystem(std::string(text), 13); }

// Read piece by piece, on one thread and on two, the symbol map answers as
// the whole text's.
void CheckSymbolMapPieces(std::string_view text) {
  const qf::SymbolMap whole = qf::SymbolMap::FromText(text);
  for (unsigned threads : {1u, 2u}) {
    qf::LineTableLoadOptions options;
    options.bufferSize = 64;
    options.threads = threads;
    const qf::SymbolMap pieces = qf::SymbolMap::Load("input.map", InPieces(text), options);
    QF_CHECK(pieces.CodeSegments().size() == whole.CodeSegments().size() && pieces.ImageBase() == whole.ImageBase());
    for (const qf::CodeSegment& c : whole.CodeSegments()) {
      for (uint64_t a = c.start - 1; a <= c.start + c.length && a - c.start < 4096; a += 3) {
        const qf::Symbolized x = whole.Symbolize(a), y = pieces.Symbolize(a);
        QF_CHECK(x.inCode == y.inCode && x.segment == y.segment && x.unit == y.unit && x.function == y.function &&
                 x.functionOffset == y.functionOffset && x.file == y.file && x.line == y.line);
      }
    }
  }
}

}  // namespace

// The input as a crash report: every address found is written in it, and
// every module named stands in it.
void CheckCrashReport(std::string_view text) {
  const std::string report = qf::ReportText(text);
  QF_CHECK(report.size() <= text.size());
  for (const qf::AddressRef& ref : qf::ScanCrashReport(report))
    QF_CHECK(ref.module.empty() || (ref.rva && report.find(ref.module) != std::string::npos));
  for (const std::string& module : qf::ModulesInReport(report))
    QF_CHECK(!module.empty() && report.find(module) != std::string::npos);
  // A line read as one address is found again when it stands alone as a
  // run of 8 digits.
  for (const std::string& line : SplitLines(report)) {
    const auto ref = qf::ParseAddress(line);
    if (!ref || ref->rva || ref->value > 0xFFFFFFFFu) continue;
    char padded[16];
    std::snprintf(padded, sizeof padded, " %08X ", static_cast<unsigned>(ref->value));
    const std::vector<qf::AddressRef> found = qf::ScanCrashReport(padded);
    QF_CHECK(found.size() == 1 && found[0].value == ref->value && !found[0].rva);
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  qf::TMapFile map;
  map.LoadFromText(text);
  const std::vector<Ref> ref = ReferenceLoad(text);

  // The table holds exactly what the rules read, in order.
  QF_CHECK(map.Count() >= 0);
  QF_CHECK(static_cast<std::size_t>(map.Count()) == ref.size());
  QF_CHECK(map.Loaded() == (map.Count() > 0));
  for (int32_t i = 0; i < map.Count(); ++i) {
    const qf::TLineOffset e = map.Entry(i);
    QF_CHECK(e.Line() == ref[i].line && e.Offset() == ref[i].offset && e.SourceFile() == ref[i].source);
  }

  // Read piece by piece, on one thread and on two, the table is the same.
  for (unsigned threads : {1u, 2u}) {
    qf::TMapFile pieces;
    qf::LineTableLoadOptions options;
    options.bufferSize = 64;
    options.threads = threads;
    pieces.Load("input.map", InPieces(text), options);
    QF_CHECK(pieces.Count() == map.Count() && pieces.Loaded() == map.Loaded());
    for (int32_t i = 0; i < map.Count(); ++i) {
      const qf::TLineOffset a = map.Entry(i), b = pieces.Entry(i);
      QF_CHECK(a.Line() == b.Line() && a.Offset() == b.Offset() && a.SourceFile() == b.SourceFile());
    }
    for (std::size_t i = 0; i < ref.size() && i < 16; ++i) {
      if (ref[i].offset == INT32_MAX) continue;
      const auto a = map.FindOffset(ref[i].offset + 1), b = pieces.FindOffset(ref[i].offset + 1);
      QF_CHECK(a.has_value() == b.has_value() && (!a || a->Line() == b->Line()));
    }
  }

  // Lookups of every entry's offset and its neighbours.
  for (std::size_t i = 0; i < ref.size() && i < 64; ++i) {
    CheckLookup(map, ref, ref[i].offset);
    if (ref[i].offset > INT32_MIN) CheckLookup(map, ref, ref[i].offset - 1);
    if (ref[i].offset < INT32_MAX) CheckLookup(map, ref, ref[i].offset + 1);
  }

  // Slices of the input as typed addresses: each line, and short windows.
  for (const std::string& line : SplitLines(text)) CheckAddress(map, ref, line);
  for (std::size_t at = 0; at < size && at < 256; at += 7) CheckAddress(map, ref, text.substr(at, 10));

  // A reload of the same text gives the same table; Clear keeps Loaded.
  const bool loaded = map.Loaded();
  map.LoadFromText(text);
  QF_CHECK(static_cast<std::size_t>(map.Count()) == ref.size() && map.Loaded() == loaded);
  map.Clear();
  QF_CHECK(map.Count() == 0 && map.Loaded() == loaded && !map.FindOffset(0));

  CheckSymbolMap(text, SplitLines(text));
  CheckSymbolMapPieces(text);
  CheckCrashReport(text);
  if (text.substr(0, 2) == "MZ") CheckPeVersionPrefixes(text);
  return 0;
}
