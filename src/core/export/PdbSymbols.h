// A program database (.pdb, MSF 7.00) of one module written from its MAP
// file's symbol map, so that debuggers, profilers and dbghelp answer its
// addresses as SymbolMap::Symbolize does: one PDB module per MAP unit with a
// procedure per function and its line numbers, a public symbol per function,
// the section table (from the image where given, else from the MAP file's
// segments), and the identity (GUID, age) that binds the PDB to the image.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "image/PeImage.h"
#include "map/SymbolMap.h"

namespace qf {

// What binds a PDB to its image: the GUID and age its CodeView record names,
// and the file name it names the PDB by (a file name, no folder).
struct PdbIdentity {
  std::array<uint8_t, 16> guid{};  // as stored: Data1..Data3 little-endian
  uint32_t age = 1;
  std::string pdbName;
};

// The identity of the PDB of an image: that of its RSDS CodeView record when
// it has one (the file part of the name it gives); else a GUID made from the
// SHA-256 of the image's bytes and the MAP file's bytes (the same inputs give
// the same GUID), age 1, named defaultName. image may be null (no image;
// imageBytes is then ignored).
PdbIdentity PdbIdentityOf(const PeImage* image, std::string_view imageBytes, std::string_view mapBytes,
                          std::string_view defaultName);
// The same with the SHA-256 of the MAP file's bytes already worked out (a
// large file read piece by piece).
PdbIdentity PdbIdentityOfDigest(const PeImage* image, std::string_view imageBytes,
                                const std::array<uint8_t, 32>& mapSha256, std::string_view defaultName);

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
