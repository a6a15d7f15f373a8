// Reading a whole MAP file into a line table: through one reused buffer on
// one thread, or, for a large file, split into pieces that are read on all
// processors and joined in file order. Both give the same table, entry for
// entry.
#pragma once

#include <cstddef>
#include <string_view>

#include <vector>

#include "base/FileSystem.h"
#include "map/LineTable.h"
#include "map/MapSegments.h"

namespace qf {

struct LineTableLoadOptions {
  std::size_t bufferSize = std::size_t{4} << 20;
  // 0: one per processor for a file of at least parallelFrom bytes; 1: one.
  unsigned threads = 0;
  long long parallelFrom = 32ll << 20;
};

struct ReadLines {
  LineTable table;  // segments as written: not settled yet
  bool segmentTableFound = false;
  std::vector<MapSegment> segments;
};

// The entries of the file read by file (sizeHint: its size, or -1 when not
// known). Read errors propagate; nothing is kept of a reading that fails.
ReadLines ReadLineTable(FileReader& file, long long sizeHint, const LineTableLoadOptions& options = {});

// The entries of text already in memory (cut at its first NUL here).
ReadLines ReadLineTable(std::string_view text);

}  // namespace qf
