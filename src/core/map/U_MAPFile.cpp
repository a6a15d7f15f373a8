#include "map/U_MAPFile.h"

#include <new>
#include <unordered_map>

#include "base/Errors.h"
#include "map/MapSegments.h"
#include "map/SectionReader.h"
#include "base/TextRules.h"

namespace qf {

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

void TMapFile::Load(const std::string& fileName, const FileSystem& fs, const LineTableLoadOptions& options) {
  // Running out of memory half-way must not leave part of a file answering
  // under the status of the previous one: the table is then empty and not
  // loaded. A file that cannot be read leaves the table as it was.
  try {
    const std::unique_ptr<FileReader> file = fs.OpenForReading(fileName);
    Take(ReadLineTable(*file, fs.FileSize(fileName), options));
  } catch (const std::bad_alloc&) {
    Clear();
    loaded_ = false;
    throw;
  }
}

void TMapFile::LoadFromText(std::string_view text) {
  try {
    Take(ReadLineTable(text));
  } catch (...) {
    Clear();
    loaded_ = false;
    throw;
  }
}

void TMapFile::Take(ReadLines&& read) {
  // When the first CODE row has a start other than 0, the pairs of each
  // CODE or ICODE segment count from that segment's start.
  std::unordered_map<int32_t, uint32_t> distance;
  if (read.segmentTableFound && IsAbsoluteLayout(read.segments)) {
    for (const MapSegment& s : read.segments) {
      if (IsCodeClass(s.cls)) {
        distance.emplace(SegmentNumber(s.id), static_cast<uint32_t>(s.start) - static_cast<uint32_t>(CodeBase));
      }
    }
  }
  read.table.MoveSegments(distance);
  read.table.AdviseLargePages();
  table_ = std::move(read.table);
  loaded_ = table_.Count() > 0;
}

void TMapFile::Clear() { table_.Clear(); }

TLineOffset TMapFile::At(int32_t index) const {
  const LineTable::Entry e = table_.At(index);
  return TLineOffset(*e.source, e.line, e.offset);
}

TLineOffset TMapFile::Entry(int32_t index) const {
  if (index < 0 || index >= Count()) throw EListError(index);
  return At(index);
}

std::optional<TLineOffset> TMapFile::FindOffset(int32_t offset) const {
  if (!loaded_) return std::nullopt;
  const auto found = table_.Find(offset);
  if (!found) return std::nullopt;
  return At(*found);
}

std::string TMapFile::ExtractSourceFile(std::string_view headerLine) { return SectionSourceName(headerLine); }

void TMapFile::ParseLineNumbers(std::string_view text, const std::string& sourceFile) {
  LineBatch batch;
  batch.sources.push_back(sourceFile);
  SectionReader::ParseLine(text, 0, batch);
  // Outside a load no segment is known: every pair counts as having none.
  for (LineBatch::Run& run : batch.runs) run.segment = LineBatch::kNoSegment;
  table_.Append(batch);
}

void TMapFile::AddEntry(const std::string& sourceFile, int32_t line, int32_t offset) {
  table_.Add(sourceFile, line, offset);
}

}  // namespace qf
