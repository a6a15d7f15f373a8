#include "DumpWarnings.h"

#include <algorithm>

#include "SymbolizedOutput.h"

namespace qf::cli {

std::vector<std::string> DumpModuleWarnings(const MinidumpModule& module, const SymbolMap& map,
                                            const std::string& mapFile, const BuildIdentity* build) {
  std::vector<std::string> warnings;
  const std::string name(module.Name());
  // The end of the MAP file's code, as an offset from its image base.
  uint64_t codeEnd = 0;
  for (const CodeSegment& segment : map.CodeSegments())
    if (segment.start >= map.ImageBase()) codeEnd = std::max(codeEnd, segment.start + segment.length - map.ImageBase());
  if (module.size != 0 && codeEnd > module.size)
    warnings.push_back(name + " is 0x" + Hex(module.size, 1) + " bytes in the dump, but the code of " + mapFile +
                       " runs to 0x" + Hex(map.ImageBase() + codeEnd, 1) + " (0x" + Hex(codeEnd, 1) +
                       " bytes from its base): the MAP file is of another build, its answers are doubtful");
  if (build && !build->SameBuild(module.timeDateStamp, uint32_t(module.size)))
  {
    BuildIdentity inDump;
    inDump.timeDateStamp = module.timeDateStamp;
    inDump.sizeOfImage = uint32_t(module.size);
    warnings.push_back(name + " is build " + inDump.CodeId() + " in the dump, but " + mapFile + " is stored for build " + build->CodeId() +
                       ": its answers are doubtful");
  }
  return warnings;
}

}  // namespace qf::cli
