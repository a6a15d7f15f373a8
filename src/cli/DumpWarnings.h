// What makes the frames of a dump's module doubtful: a MAP file whose code
// does not fit in the module as the dump gives it, or a stored build whose
// identity is not the module's. Each is one line, printed before the frames
// ("warning: ...") and as the JSON object's "warnings".
#pragma once

#include <string>
#include <vector>

#include "crash/Minidump.h"
#include "db/BuildIdentity.h"
#include "map/SymbolMap.h"

namespace qf::cli {

// The warnings for module answered from map (read from mapFile); build: the
// identity stored with that MAP file, or null.
std::vector<std::string> DumpModuleWarnings(const MinidumpModule& module, const SymbolMap& map,
                                            const std::string& mapFile, const BuildIdentity* build);

}  // namespace qf::cli
