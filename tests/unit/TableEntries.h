// The entries of a loaded line table as plain values, for comparing tables.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "map/U_MAPFile.h"

namespace qf::test {

using Entry = std::tuple<std::string, int32_t, int32_t>;  // source, line, offset
using Entries = std::vector<Entry>;

inline Entries EntriesOf(const TMapFile& map) {
  Entries out;
  for (int32_t i = 0; i < map.Count(); ++i) {
    const TLineOffset e = map.Entry(i);
    out.emplace_back(e.SourceFile(), e.Line(), e.Offset());
  }
  return out;
}

}  // namespace qf::test
