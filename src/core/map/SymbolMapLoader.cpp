#include "map/SymbolMapLoader.h"

#include "base/LineIterator.h"
#include "base/LineReader.h"
#include "map/AlignedLine.h"
#include "map/ParallelPieces.h"
#include "map/SymbolMapBuilder.h"
#include "map/SymbolRowReader.h"

namespace qf {
namespace {

// Pairs gathered before they join the builder.
constexpr std::size_t kBatchPairs = std::size_t{1} << 16;

// The segment table of a reading's end state; none when no header was read.
std::vector<MapSegment> TableOf(const SymbolReaderState& state) {
  return state.table.HeaderFound() ? state.table.Segments() : std::vector<MapSegment>();
}

// Reads every line that next(line) hands out, in order, on this thread.
template <class NextLine>
SymbolMap ReadAllLines(NextLine next) {
  SymbolMapBuilder builder;
  SymbolRows rows;
  auto reader = std::make_unique<SymbolRowReader>(rows);
  for (std::string_view line; next(line);) {
    reader->AddLine(line);
    if (rows.pairs.size() >= kBatchPairs) {
      builder.Append(rows);
      const SymbolReaderState state = reader->Leave();
      rows.Reset();
      reader = std::make_unique<SymbolRowReader>(rows, state);
    }
  }
  builder.Append(rows);
  return builder.Finish(TableOf(reader->Leave()));
}

SymbolMap ReadOnOneThread(FileReader& file, std::size_t bufferSize) {
  LineReader lines(file, bufferSize);
  return ReadAllLines([&lines](std::string_view& line) { return lines.Next(line); });
}

// The symbol map as pieces read apart (ParallelPieces).
class SymbolMapPieces {
 public:
  using State = SymbolReaderState;
  using Batch = SymbolRows;

  State ReadPiece(std::string_view text, const State& from, bool, SymbolRows& rows) const {
    SymbolRowReader reader(rows, from);
    ReadLinesOf(text, reader);
    return reader.Leave();
  }

  void Join(SymbolRows& rows, const State& end, bool continuation) {
    builder.Append(rows);
    // The segment table is the first one found; a piece that goes on from
    // its predecessor may still be adding rows to it.
    if ((!tableFound_ || (!tableDone_ && continuation)) && end.table.HeaderFound()) {
      tableFound_ = true;
      tableDone_ = end.table.Done();
      table = end.table.Segments();
    }
  }

  SymbolMapBuilder builder;
  std::vector<MapSegment> table;

 private:
  bool tableFound_ = false;
  bool tableDone_ = false;
};

}  // namespace

SymbolMap ReadSymbolMap(FileReader& file, long long sizeHint, const LineTableLoadOptions& options) {
  const unsigned threads = PieceReaders(options.threads, sizeHint, options.parallelFrom);
  if (threads <= 1) return ReadOnOneThread(file, options.bufferSize);
  SymbolMapPieces reading;
  if (!ParallelPieces<SymbolMapPieces>(file, reading, options.bufferSize, threads).Run()) {
    return ReadOnOneThread(file, options.bufferSize);
  }
  return reading.builder.Finish(reading.table);
}

SymbolMap ReadSymbolMap(std::string_view text) {
  LineIterator lines(UpToFirstNul(text));
  return ReadAllLines([&lines](std::string_view& line) { return lines.Next(line); });
}

}  // namespace qf
