// What binds a program database to its image: the GUID and age of the
// image's CodeView record, or made from the inputs where it has none.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "image/PeImage.h"

namespace qf {

// The GUID and age the CodeView record names, and the file name it names
// the PDB by (a file name, no folder).
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

}  // namespace qf
