#include "map/LineTableLoader.h"

#include "base/LineIterator.h"
#include "base/LineReader.h"
#include "map/AlignedLine.h"
#include "map/ParallelPieces.h"
#include "map/SectionReader.h"

namespace qf {
namespace {

// Entries gathered before they join the table (the batch stays in cache).
constexpr std::size_t kBatchEntries = std::size_t{1} << 16;

void TakeSegments(const SectionReader& reader, ReadLines& out) {
  out.segmentTableFound = reader.SegmentTableFound();
  out.segments = reader.Segments();
}

// Reads every line that next(line) hands out, in order, on this thread.
template <class NextLine>
ReadLines ReadAllLines(NextLine next) {
  ReadLines out;
  LineBatch batch;
  SectionReader reader(batch);
  for (std::string_view line; next(line);) {
    reader.AddLine(line);
    if (batch.Size() >= kBatchEntries) {
      out.table.Append(batch);
      batch.ClearEntries();
    }
  }
  reader.Finish();
  out.table.Append(batch);
  TakeSegments(reader, out);
  return out;
}

ReadLines ReadOnOneThread(FileReader& file, std::size_t bufferSize) {
  LineReader lines(file, bufferSize);
  return ReadAllLines([&lines](std::string_view& line) { return lines.Next(line); });
}

// The line table as pieces read apart (ParallelPieces).
class LineTablePieces {
 public:
  using State = SectionReader::State;
  using Batch = LineBatch;

  State ReadPiece(std::string_view text, const State& from, bool fileEnds, LineBatch& batch) const {
    SectionReader reader(batch, from);
    ReadLinesOf(text, reader);
    if (fileEnds) reader.Finish();
    return reader.Leave();
  }

  void Join(LineBatch& batch, const State& end, bool continuation) {
    out.table.Append(batch);
    // The segment table is the first one found; a piece that goes on from
    // its predecessor may still be adding rows to it.
    if ((!out.segmentTableFound || (!segmentsDone_ && continuation)) && end.segmentRows) {
      out.segmentTableFound = true;
      segmentsDone_ = end.segmentsDone;
      out.segments = end.segments.Segments();
    }
  }

  ReadLines out;

 private:
  bool segmentsDone_ = false;
};

}  // namespace

ReadLines ReadLineTable(FileReader& file, long long sizeHint, const LineTableLoadOptions& options) {
  const unsigned threads = PieceReaders(options.threads, sizeHint, options.parallelFrom);
  if (threads <= 1) return ReadOnOneThread(file, options.bufferSize);
  LineTablePieces reading;
  if (!ParallelPieces<LineTablePieces>(file, reading, options.bufferSize, threads).Run()) {
    return ReadOnOneThread(file, options.bufferSize);
  }
  return std::move(reading.out);
}

ReadLines ReadLineTable(std::string_view text) {
  LineIterator lines(UpToFirstNul(text));
  return ReadAllLines([&lines](std::string_view& line) { return lines.Next(line); });
}

}  // namespace qf
