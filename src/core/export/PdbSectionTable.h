// The sections a program database numbers addresses by: the image's where
// given, else the MAP file's code segments; with a lookup by RVA.
#pragma once

#include <cstdint>
#include <vector>

#include "export/PdbStreams.h"
#include "image/PeImage.h"
#include "map/SymbolMap.h"

namespace qf {

class PdbSectionTable {
 public:
  // image may be null: the map's code segments at or above imageBase then.
  PdbSectionTable(const SymbolMap& map, uint64_t imageBase, const PeImage* image);

  const std::vector<PdbSection>& Sections() const { return sections_; }
  const PdbSection& Section(uint16_t number) const { return sections_[number - 1u]; }

  // The section (1-based) that holds rva, and the end of its span; 0 for none.
  uint16_t Find(uint64_t rva, uint64_t& end) const {
    // Runs come in address order: mostly in the section of the one before.
    if (last_ != 0) {
      const PdbSection& s = sections_[last_ - 1];
      if (rva >= s.rva && rva < uint64_t{s.rva} + s.virtualSize) {
        end = uint64_t{s.rva} + s.virtualSize;
        return last_;
      }
    }
    last_ = Search(rva, end);
    return last_;
  }

 private:
  uint16_t Search(uint64_t rva, uint64_t& end) const;

  std::vector<PdbSection> sections_;
  mutable uint16_t last_ = 0;  // the section found last
  std::vector<uint16_t> byRva_;
};

}  // namespace qf
