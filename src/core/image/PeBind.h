// Binding an executable to its PDB: a copy of a PE32/PE32+ image whose debug
// directory holds a CodeView (RSDS) record naming the PDB by file name, GUID
// and age, which debuggers and symbol servers find the PDB by. The copy keeps
// TimeDateStamp and SizeOfImage, so a crash dump's module still matches it.
//
// The debug directory (its other entries kept, a CodeView entry replaced)
// and the record go into room the loader maps but the image does not use,
// between a section's contents and the end of its last page: where the
// file already holds it (the last section's first, then any section's),
// else in the last section with its raw data grown in the file (the COFF
// symbol table that follows it moves along, its header pointer with it).
// A CodeView record big enough for the new one is overwritten where it is.
// Refused: no such room; a signed image (binding must come before signing);
// data appended after the last section (an overlay), which growing the
// section would move; a section table so damaged that the record would not
// be read back. `force` drops the signature (sign the copy again) and keeps
// appended data, moved to follow the grown section unchanged.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace qf {

struct BindRequest {
  std::array<uint8_t, 16> guid{};  // as stored: Data1..Data3 little-endian
  uint32_t age = 1;
  std::string pdbName;  // written as its file name only
  bool force = false;   // drop a signature, keep (and move) appended data instead of refusing
};

struct BindOutcome {
  std::string bytes;    // the new image's bytes
  std::string refusal;  // why there are none (non-empty when refused)
};

// The image given is never changed; the outcome holds a new copy.
BindOutcome BindCodeView(std::string_view image, const BindRequest& request);

}  // namespace qf
