#include "export/PdbSectionTable.h"

#include <algorithm>

namespace qf {
namespace {

constexpr uint32_t kCodeSection = pdb::kScnCntCode | pdb::kScnMemExecute | pdb::kScnMemRead;

}  // namespace

PdbSectionTable::PdbSectionTable(const SymbolMap& map, uint64_t imageBase, const PeImage* image) {
  if (image != nullptr) {
    for (const PeSection& s : image->sections) {
      sections_.push_back({s.name, s.virtualAddress, s.Span(), s.rawSize, s.rawOffset, s.characteristics});
    }
  } else {
    std::vector<CodeSegment> segments = map.CodeSegments();
    std::sort(segments.begin(), segments.end(),
              [](const CodeSegment& a, const CodeSegment& b) { return a.start < b.start; });
    for (const CodeSegment& s : segments) {
      if (s.start < imageBase || s.start - imageBase > UINT32_MAX) continue;
      const auto rva = static_cast<uint32_t>(s.start - imageBase);
      const auto size = static_cast<uint32_t>(std::min<uint64_t>(s.length, UINT32_MAX - rva));
      sections_.push_back({s.name, rva, size, 0, 0, kCodeSection});
    }
  }
  for (std::size_t i = 0; i < sections_.size(); ++i) byRva_.push_back(static_cast<uint16_t>(i));
  std::sort(byRva_.begin(), byRva_.end(), [&](uint16_t a, uint16_t b) { return sections_[a].rva < sections_[b].rva; });
}

uint16_t PdbSectionTable::Search(uint64_t rva, uint64_t& end) const {
  auto it = std::upper_bound(byRva_.begin(), byRva_.end(), rva,
                             [&](uint64_t r, uint16_t s) { return r < sections_[s].rva; });
  if (it == byRva_.begin()) return 0;
  const PdbSection& s = sections_[*--it];
  end = uint64_t{s.rva} + s.virtualSize;
  return rva < end ? static_cast<uint16_t>(*it + 1) : 0;
}

}  // namespace qf
