// Builds a symbol map from the rows of a MAP file given in file order (one
// reading's batches, or the pieces of a parallel reading joined in order),
// then sorts them into the map's arrays once the segment table is known.
#pragma once

#include <memory>
#include <vector>

#include "map/MapSegments.h"
#include "map/SymbolMap.h"
#include "map/SymbolRowReader.h"

namespace qf {

class SymbolMapBuilder {
 public:
  SymbolMapBuilder();
  ~SymbolMapBuilder();
  SymbolMapBuilder(SymbolMapBuilder&&) noexcept;
  SymbolMapBuilder& operator=(SymbolMapBuilder&&) noexcept;

  // Takes the rows of one batch, behind those already taken.
  void Append(const SymbolRows& rows);
  // The map, with the code segments of the segment table (table order).
  SymbolMap Finish(const std::vector<MapSegment>& table);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qf
