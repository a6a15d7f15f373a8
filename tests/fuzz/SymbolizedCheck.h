// What every answer of the symbol map must satisfy, whatever the input.
#pragma once

#include <cstdint>

#include "FuzzCheck.h"
#include "map/SymbolMap.h"

namespace qf::fuzz {

// The answer for `address`, checked: it says what was asked, lies in code
// exactly when InCode says so and then in a segment of that name, knows
// nothing outside code, names no function after the address and a file only
// with its line.
inline Symbolized CheckedSymbolize(const SymbolMap& map, uint64_t address) {
  const Symbolized s = map.Symbolize(address);
  QF_CHECK(s.address == address && s.inCode == map.InCode(address));
  if (!s.inCode) {
    QF_CHECK(!s.unit && !s.function && !s.file && !s.line);
    return s;
  }
  const CodeSegment* segment = nullptr;
  for (const CodeSegment& c : map.CodeSegments()) {
    if (address >= c.start && address - c.start < c.length && c.name == s.segment) segment = &c;
  }
  QF_CHECK(segment != nullptr);
  QF_CHECK(!s.function || s.functionOffset <= address - segment->start);
  QF_CHECK(s.file.has_value() == s.line.has_value());
  return s;
}

}  // namespace qf::fuzz
