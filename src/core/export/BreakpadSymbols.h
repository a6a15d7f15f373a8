// Breakpad's text symbol file (.sym) of one module, written from its MAP
// file's symbol map: the module's identity, the source files, one FUNC per
// function with its line records, and the stack rules of the module's
// functions where they are known. Breakpad's tools and the crash services
// built on them answer every address of code inside a unit from the file
// exactly as SymbolMap::Symbolize does: the FUNC that holds it gives the
// function, its line record the file and line.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "map/SymbolMap.h"

namespace qf {

// The debug id of a module whose image has no CodeView record (the id
// Crashpad gives such a module): 33 zeros.
inline constexpr std::string_view kZeroBreakpadId = "000000000000000000000000000000000";

// What the MODULE and INFO CODE_ID lines say.
struct BreakpadIdentity {
  std::string arch;       // "x86" or "x86_64"
  std::string debugId;    // 33 hexadecimal digits or more: GUID and age
  std::string debugName;  // the PDB's file name, else the module's
  std::string codeId;     // TimeDateStamp %08X and SizeOfImage %x; empty: unknown
  std::string codeName;   // the module's file name (for INFO CODE_ID)
};

// A CodeView GUID as stored (Data1 to Data3 little-endian, then 8 bytes) and
// its age as a Breakpad debug id: %08X%04X%04X, 8 x %02X, then age as %x.
std::string BreakpadDebugId(const std::array<uint8_t, 16>& guid, uint32_t age);

// The code id of an image: TimeDateStamp as %08X, SizeOfImage as %x.
std::string BreakpadCodeId(uint32_t timeDateStamp, uint32_t sizeOfImage);

// A debug id for a module without CodeView record that is not all zeros
// (Sentry refuses those) and differs from build to build: the first 16 bytes
// of the SHA-256 of the code id's text followed by the image's SHA-256 (64
// hexadecimal digits, as written), read as a GUID of age 0.
std::string BreakpadDerivedId(std::string_view codeId, std::string_view imageSha256);

// The file name a symbol store files a module's symbols under: the debug
// name's file part with ".pdb" replaced by ".sym" (any case), else with
// ".sym" added (App.pdb: App.sym, App.exe: App.exe.sym).
std::string BreakpadSymbolFileName(std::string_view debugName);

// The .sym text of the map's module, handed to `write` piece by piece (LF
// line ends). Addresses are taken relative to imageBase (the map's own
// preferred base, or the image's); code below it cannot be written and is
// left out. stackRecords (STACK lines, each with its LF) follow the
// functions as given. With demangle each FUNC names its function by the
// readable name (DemangleName, as Breakpad's dump_syms writes them), else by
// the linker's.
void WriteBreakpadSymbols(const SymbolMap& map, uint64_t imageBase, const BreakpadIdentity& identity,
                          std::string_view stackRecords, const std::function<void(std::string_view)>& write,
                          bool demangle = true);

}  // namespace qf
