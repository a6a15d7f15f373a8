// The functions of a MAP file as spans: each public that starts code, from
// its address to where the code its name answers for stops (the next
// public, or a gap), in the MAP file's preferred layout, in address order.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "map/SymbolMap.h"

namespace qf::cli {

class FunctionSpans {
 public:
  explicit FunctionSpans(const SymbolMap& map) {
    map.ForEachRunInUnits([&](const SymbolRun& run) {
      if (!run.function) return;
      if (!spans_.empty() && spans_.back().first == run.functionStart && spans_.back().second == run.start) {
        spans_.back().second = run.end;
      } else if (run.functionStart <= run.start && (spans_.empty() || spans_.back().second <= run.functionStart)) {
        spans_.push_back({run.functionStart, run.end});
      }
    });
  }
  const std::vector<std::pair<uint64_t, uint64_t>>& All() const { return spans_; }
  // The span that holds an address, else none.
  std::optional<std::pair<uint64_t, uint64_t>> At(uint64_t address) const {
    auto it = std::upper_bound(spans_.begin(), spans_.end(), address,
                               [](uint64_t a, const std::pair<uint64_t, uint64_t>& s) { return a < s.first; });
    if (it == spans_.begin()) return std::nullopt;
    --it;
    if (address >= it->second) return std::nullopt;
    return *it;
  }

 private:
  std::vector<std::pair<uint64_t, uint64_t>> spans_;
};

}  // namespace qf::cli
