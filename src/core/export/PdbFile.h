// A program database (.pdb, MSF 7.00) of one module written from its MAP
// file's symbol map, so that debuggers, profilers and dbghelp answer its
// addresses as SymbolMap::Symbolize does: one PDB module per MAP unit with a
// procedure per function and its line numbers, a public symbol per function,
// the section table (from the image where given, else from the MAP file's
// segments), and the identity (GUID, age) that binds the PDB to the image.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "export/PdbIdentity.h"
#include "image/PeImage.h"
#include "map/SymbolMap.h"

namespace qf {

// Writes the PDB of the map's module, handed to `write` piece by piece (the
// pieces in order make the file). Addresses are taken relative to imageBase
// (the map's own preferred base, or the image's). image (may be null) gives
// the sections, the machine and the signature (its TimeDateStamp); without
// it they come from the map (its segment table; x64 for a map with 16-digit
// starts) and the signature from the GUID. The same inputs give the same
// bytes. Throws std::bad_alloc when memory runs out.
void WritePdb(const SymbolMap& map, uint64_t imageBase, const PeImage* image, std::string_view imageBytes,
              const PdbIdentity& id, const std::function<void(std::string_view)>& write);

}  // namespace qf
