#include "image/PeExports.h"

#include <algorithm>

namespace qf {

std::vector<std::pair<uint32_t, uint32_t>> PeExportedCode(const PeImage& image, std::string_view bytes) {
  std::vector<std::pair<uint32_t, uint32_t>> spans;
  const PeDataDirectory dir = image.Directory(0);  // IMAGE_DIRECTORY_ENTRY_EXPORT
  if (dir.rva == 0 || dir.size < 40) return spans;
  const LeBytes header(PeBytesAt(image, bytes, dir.rva, 40));
  const std::optional<uint32_t> count = header.U32(20), functions = header.U32(28);
  if (!count || !functions || *count > 65536) return spans;
  const LeBytes table(PeBytesAt(image, bytes, *functions, uint64_t(*count) * 4));
  std::vector<uint32_t> starts;
  for (uint32_t i = 0; i < *count; ++i) {
    const std::optional<uint32_t> rva = table.U32(uint64_t(i) * 4);
    if (!rva) break;
    const PeSection* s = image.SectionAt(*rva);
    // A forwarder's RVA lies inside the export directory, not in code.
    if (s && s->IsCode() && (*rva < dir.rva || *rva - dir.rva >= dir.size)) starts.push_back(*rva);
  }
  std::sort(starts.begin(), starts.end());
  starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
  for (size_t i = 0; i < starts.size(); ++i) {
    const PeSection* s = image.SectionAt(starts[i]);
    uint32_t end = s->virtualAddress + s->Span();
    if (i + 1 < starts.size() && image.SectionAt(starts[i + 1]) == s) end = starts[i + 1];
    spans.push_back({starts[i], end});
  }
  return spans;
}

}  // namespace qf
