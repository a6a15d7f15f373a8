// The functions of a MAP file as spans: each public of a code segment, from
// its address to the next public's (or its segment's end), in the MAP
// file's preferred layout, in address order.
// GCC's cold parts (NAME.cold) are left out: a function's code moved away,
// entered by a jump from the middle of it, not at a function's start.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "map/SymbolMap.h"

namespace qf {

class FunctionSpans {
 public:
  explicit FunctionSpans(const SymbolMap& map) {
    uint64_t segmentEnd = 0;
    bool cold = false;
    map.ForEachCodePublic([&](uint64_t address, std::string_view name, uint64_t end) {
      if (!spans_.empty() && spans_.back().first == address) return;  // a second name of one address
      if (!spans_.empty() && spans_.back().second == segmentEnd) spans_.back().second = std::min(address, segmentEnd);
      if (cold) spans_.pop_back();
      cold = name.size() >= 5 && (name.substr(name.size() - 5) == ".cold" || name.find(".cold.") != std::string_view::npos);
      if (!spans_.empty() && spans_.back().first > address) spans_.clear();  // out of order: none
      spans_.push_back({address, end});
      segmentEnd = end;
    });
    if (cold) spans_.pop_back();
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

}  // namespace qf
