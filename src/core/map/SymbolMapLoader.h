// Reading a whole MAP file into a symbol map: through one reused buffer on
// one thread, or, for a large file, in pieces read on all processors and
// joined in file order (ParallelPieces, as the line table). Both give the
// same map.
#pragma once

#include <string_view>

#include "base/FileSystem.h"
#include "map/LineTableLoader.h"
#include "map/SymbolMap.h"

namespace qf {

// The map of the file read by file (sizeHint: its size, or -1 when not
// known). Read errors propagate.
SymbolMap ReadSymbolMap(FileReader& file, long long sizeHint, const LineTableLoadOptions& options = {});

// The map of text already in memory (cut at its first NUL here).
SymbolMap ReadSymbolMap(std::string_view text);

}  // namespace qf
