// The streams of a program database but the modules', one function each,
// every stream built whole in memory: PDB info, the empty type streams (TPI,
// IPI), DBI with its substreams, the public and global symbols with their
// record stream, and the section headers.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "export/PdbFormat.h"

namespace qf {

// Fixed stream numbers; the module streams follow kPdbFirstModuleStream.
enum PdbStream : uint16_t {
  kPdbOldDirectory = 0,
  kPdbInfo = 1,
  kPdbTpi = 2,
  kPdbDbi = 3,
  kPdbIpi = 4,
  kPdbGlobals = 5,
  kPdbPublics = 6,
  kPdbSymbolRecords = 7,
  kPdbSectionHeaders = 8,
  kPdbLinkInfo = 9,
  kPdbNames = 10,
  kPdbFirstModuleStream = 11,
};

// A CodeView symbol record: its header, then the body, padded to 4 bytes.
// Names longer than a record holds after fixedBytes are cut.
std::string_view PdbCutName(std::string_view name, std::size_t fixedBytes);
void PdbAppendRecord(std::string& out, uint16_t kind, std::string_view body);

struct PdbSection {
  std::string name;
  uint32_t rva = 0;
  uint32_t virtualSize = 0;
  uint32_t rawSize = 0;
  uint32_t rawOffset = 0;
  uint32_t characteristics = 0;
};

// One module (a MAP unit). Its stream: the symbols (from the C13 signature
// on), the file checksums, the line subsections (lineBytes of them, written
// as they are made) and an empty list of global references (4 bytes).
struct PdbModule {
  std::string name;
  std::string symbols;
  std::string checksums;  // the DEBUG_S_FILECHKSMS subsection
  uint64_t lineBytes = 0;
  std::vector<std::string> files;
  std::unordered_map<uint32_t, uint32_t> fileSlots;  // the map's file number: its place in files
  pdb::SectionContrib first;
  uint16_t stream = 0;
  static constexpr std::size_t kGlobalRefsBytes = 4;
  uint64_t StreamSize() const { return symbols.size() + checksums.size() + lineBytes + kGlobalRefsBytes; }
};

struct PdbPublic {
  std::string_view name;
  uint16_t section = 0;
  uint32_t offset = 0;
  bool alias = false;  // another public of the map at the same address came first
};

// A global reference to a module's procedure (S_PROCREF).
struct PdbProcRef {
  std::string_view name;
  uint16_t module = 0;        // 0-based
  uint32_t symbolOffset = 0;  // in the module's stream
};

std::string PdbInfoStream(const std::array<uint8_t, 16>& guid, uint32_t age, uint32_t signature,
                          const std::vector<std::pair<std::string, uint32_t>>& namedStreams);
// A type stream (TPI or IPI) without records.
std::string PdbEmptyTypeStream();

struct PdbDbiInput {
  uint32_t age = 1;
  uint16_t machine = 0x14C;
  const std::vector<PdbModule>* modules = nullptr;
  std::vector<pdb::SectionContrib> contributions;  // any order
  const std::vector<PdbSection>* sections = nullptr;
  uint16_t frameDataStream = pdb::kNoStream;  // the optional debug header's frame data (new FPO)
};
std::string PdbDbiStream(const PdbDbiInput& input);

// The symbol record stream and the two hashes that index it.
struct PdbGlobalSymbols {
  std::string records;
  std::string publics;
  std::string globals;
};
// decorate: the public names take the x86 C decoration, a leading "_" (an
// x86 program's publics are decorated, its procedures not; readers strip
// it again), except names already decorated for C++ ("?").
PdbGlobalSymbols PdbGlobalStreams(std::vector<PdbPublic> publics, const std::vector<PdbProcRef>& procRefs,
                                  bool decorate);

// The image's section headers as a stream (IMAGE_SECTION_HEADER each).
std::string PdbSectionHeaderStream(const std::vector<PdbSection>& sections);

}  // namespace qf
