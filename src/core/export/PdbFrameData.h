// The frame data of an x86 image's program database: what debuggers and
// dbghelp's StackWalk64 unwind a function without a frame pointer by (the
// DBI stream's optional debug header names its stream, the "new FPO" one):
// FRAMEDATA records, each a stretch of code with a program string that
// computes the caller's registers from the frame's ("$T0 $esp 8 + = $eip
// $T0 ^ = $esp $T0 4 + ="), made from the x86 analysis (X86Code) of the MAP
// file's functions, as the Breakpad stack rules are (X86StackCfi): a record
// for each stretch of instructions with one program, wherever the analysis
// knows the frame (the table of the function, else the frame read forward
// from the instruction); none where it does not.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "image/PeImage.h"

namespace qf {

struct PdbFrameRecord {
  uint32_t rva = 0;
  uint32_t size = 0;
  bool functionStart = false;  // the stretch begins at its function's first byte
  std::string program;
};

// The records of an x86 image's functions ([begin, end) RVAs in address
// order), in address order and never overlapping; none for another machine.
std::vector<PdbFrameRecord> X86FrameRecords(const PeImage& image, std::string_view bytes,
                                            const std::vector<std::pair<uint32_t, uint32_t>>& functions);

// The frame-data stream of the records, their program strings added to the
// PDB's string table.
class PdbStringTable;
std::string PdbFrameDataStream(const std::vector<PdbFrameRecord>& records, PdbStringTable& names);

// The program string of one analysed frame; empty where it cannot be said
// (a slot through a base no program string names).
struct X86Frame;
std::string X86FrameProgram(const X86Frame& frame);

}  // namespace qf
