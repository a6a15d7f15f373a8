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
// Where no section has room, they go into the header page past the section
// table (the headers grown in the file where they must be, the sections'
// data moved by whole FileAlignment units with every file offset that
// points into it). A CodeView record big enough for the new one is
// overwritten where it is. The copy is no longer marked stripped of its
// debug information (IMAGE_FILE_DEBUG_STRIPPED would send debuggers to a
// .dbg file instead of the record). Refused: no room even in the header
// page (the first section's memory starts too soon); a signed image
// (binding must come before signing); data appended after the last section
// (an overlay), which binding may move; a section table so damaged that
// the record would not be read back. `force` drops the signature (sign the
// copy again) and keeps appended data, moved unchanged.
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
