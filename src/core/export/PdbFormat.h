// The fixed parts of a program database's streams, field by field as they
// lie in the file: the headers of the PDB info, type (TPI, IPI) and DBI
// streams and of the DBI's substreams, the CodeView symbol records, the C13
// line and file checksum subsections of a module's stream, the headers of the
// GSI hashes and of the string table, and the image's section header. Each
// Put writes the fields in order, little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "export/LittleEndian.h"

namespace qf::pdb {

// No stream: the number of a stream left out.
inline constexpr uint16_t kNoStream = 0xFFFF;

// --- The PDB info stream (stream 1) ---

inline constexpr uint32_t kInfoVersionVC70 = 20000404;
// The feature signature that follows the named stream map: the IPI stream is there.
inline constexpr uint32_t kFeatureVC140 = 20140508;

struct InfoStreamHeader {
  uint32_t version = kInfoVersionVC70;
  uint32_t signature = 0;  // the image's TimeDateStamp, or from the GUID
  uint32_t age = 0;
  std::array<uint8_t, 16> guid{};
  void Put(LeWriter& w) const {
    w.U32(version).U32(signature).U32(age);
    w.Bytes({reinterpret_cast<const char*>(guid.data()), guid.size()});
  }
};

// --- The type streams (TPI, IPI) ---

inline constexpr uint32_t kTpiVersionV80 = 20040203;
inline constexpr uint32_t kFirstTypeIndex = 0x1000;  // the indexes below name the basic types

struct OffsetLength {
  uint32_t offset = 0;
  uint32_t length = 0;
};

struct TpiStreamHeader {
  static constexpr uint32_t kSize = 56;
  uint32_t version = kTpiVersionV80;
  uint32_t headerSize = kSize;
  uint32_t typeIndexBegin = kFirstTypeIndex;
  uint32_t typeIndexEnd = kFirstTypeIndex;
  uint32_t typeRecordBytes = 0;
  uint16_t hashStream = kNoStream;
  uint16_t hashAuxStream = kNoStream;
  uint32_t hashKeySize = 4;
  uint32_t hashBuckets = 0x3FFFF;
  OffsetLength hashValues, indexOffsets, hashAdjusters;
  void Put(LeWriter& w) const {
    w.Room(kSize);
    w.U32(version).U32(headerSize).U32(typeIndexBegin).U32(typeIndexEnd).U32(typeRecordBytes);
    w.U16(hashStream).U16(hashAuxStream).U32(hashKeySize).U32(hashBuckets);
    for (const OffsetLength& b : {hashValues, indexOffsets, hashAdjusters}) w.U32(b.offset).U32(b.length);
  }
};

// --- The DBI stream (stream 3) ---

inline constexpr uint32_t kDbiVersionV70 = 19990903;
// The build number of the toolset that wrote the file, in the new format
// (the top bit set, the major version above the minor).
constexpr uint16_t DbiBuildNumber(uint8_t major, uint8_t minor) {
  return static_cast<uint16_t>(0x8000 | major << 8 | minor);
}

struct DbiStreamHeader {
  uint32_t versionSignature = 0xFFFFFFFF;
  uint32_t version = kDbiVersionV70;
  uint32_t age = 1;
  uint16_t globalsStream = kNoStream;
  uint16_t buildNumber = DbiBuildNumber(14, 0);
  uint16_t publicsStream = kNoStream;
  uint16_t pdbDllVersion = 0;
  uint16_t symbolRecordStream = kNoStream;
  uint16_t pdbDllRebuild = 0;
  uint32_t moduleInfoBytes = 0;
  uint32_t sectionContributionBytes = 0;
  uint32_t sectionMapBytes = 0;
  uint32_t sourceInfoBytes = 0;
  uint32_t typeServerMapBytes = 0;
  uint32_t mfcTypeServerIndex = 0;
  uint32_t optionalDebugHeaderBytes = 0;
  uint32_t ecSubstreamBytes = 0;
  uint16_t flags = 0;
  uint16_t machine = 0;
  uint32_t reserved = 0;
  void Put(LeWriter& w) const {
    w.U32(versionSignature).U32(version).U32(age);
    w.U16(globalsStream).U16(buildNumber).U16(publicsStream).U16(pdbDllVersion);
    w.U16(symbolRecordStream).U16(pdbDllRebuild);
    w.U32(moduleInfoBytes).U32(sectionContributionBytes).U32(sectionMapBytes).U32(sourceInfoBytes);
    w.U32(typeServerMapBytes).U32(mfcTypeServerIndex).U32(optionalDebugHeaderBytes).U32(ecSubstreamBytes);
    w.U16(flags).U16(machine).U32(reserved);
  }
};

// The DBI's optional debug header: the streams of the debug data it names.
struct DbiDebugStreams {
  uint16_t fpo = kNoStream;
  uint16_t exception = kNoStream;
  uint16_t fixup = kNoStream;
  uint16_t omapToSource = kNoStream;
  uint16_t omapFromSource = kNoStream;
  uint16_t sectionHeaders = kNoStream;
  uint16_t tokenRidMap = kNoStream;
  uint16_t xdata = kNoStream;
  uint16_t pdata = kNoStream;
  uint16_t newFpo = kNoStream;
  uint16_t originalSectionHeaders = kNoStream;
  void Put(LeWriter& w) const {
    for (const uint16_t s : {fpo, exception, fixup, omapToSource, omapFromSource, sectionHeaders, tokenRidMap, xdata,
                             pdata, newFpo, originalSectionHeaders}) {
      w.U16(s);
    }
  }
};

// A FRAMEDATA record of the frame-data stream the optional debug header
// names (newFpo): a stretch of code and the program string (an offset in
// the string table) that unwinds a frame there.
struct FrameData {
  static constexpr std::size_t kSize = 32;
  static constexpr uint32_t kFunctionStart = 4;  // the stretch begins at its function's start
  uint32_t rvaStart = 0;
  uint32_t codeSize = 0;
  uint32_t localSize = 0;
  uint32_t paramsSize = 0;
  uint32_t maxStackSize = 0;
  uint32_t frameFunc = 0;
  uint16_t prologSize = 0;
  uint16_t savedRegsSize = 0;
  uint32_t flags = 0;
  void Put(LeWriter& w) const {
    w.U32(rvaStart).U32(codeSize).U32(localSize).U32(paramsSize).U32(maxStackSize).U32(frameFunc);
    w.U16(prologSize).U16(savedRegsSize).U32(flags);
  }
};

// The version that opens the section contribution substream.
inline constexpr uint32_t kSectionContributionsV60 = 0xEFFE0000 + 19970605;

// What one module contributes to one section.
struct SectionContrib {
  uint16_t section = 0;  // 1-based
  uint32_t offset = 0;
  uint32_t size = 0;
  uint32_t characteristics = 0;
  uint16_t module = 0;  // 0-based
  uint32_t dataCrc = 0;
  uint32_t relocationCrc = 0;
  void Put(LeWriter& w) const {
    w.U16(section).U16(0).U32(offset).U32(size).U32(characteristics);
    w.U16(module).U16(0).U32(dataCrc).U32(relocationCrc);
  }
};

// The fixed part of a module's entry in the module info substream; its
// module name and object file name follow, the whole padded to 4 bytes.
struct ModuleInfoHeader {
  uint32_t unused = 0;
  SectionContrib firstContribution;
  uint16_t flags = 0;
  uint16_t stream = kNoStream;
  uint32_t symbolBytes = 0;
  uint32_t c11LineBytes = 0;
  uint32_t c13LineBytes = 0;
  uint16_t sourceFiles = 0;
  uint32_t unused2 = 0;
  uint32_t sourceFileNameIndex = 0;
  uint32_t pdbFilePathNameIndex = 0;
  void Put(LeWriter& w) const {
    w.U32(unused);
    firstContribution.Put(w);
    w.U16(flags).U16(stream).U32(symbolBytes).U32(c11LineBytes).U32(c13LineBytes);
    w.U16(sourceFiles).U16(0).U32(unused2).U32(sourceFileNameIndex).U32(pdbFilePathNameIndex);
  }
};

struct SectionMapHeader {
  uint16_t count = 0;
  uint16_t logicalCount = 0;
  void Put(LeWriter& w) const { w.U16(count).U16(logicalCount); }
};

enum SectionMapFlags : uint16_t {
  kSegRead = 0x1,
  kSegWrite = 0x2,
  kSegExecute = 0x4,
  kSegAddressIs32Bit = 0x8,
  kSegIsSelector = 0x100,
  kSegIsAbsoluteAddress = 0x200,
};

struct SectionMapEntry {
  uint16_t flags = 0;
  uint16_t overlay = 0;
  uint16_t group = 0;
  uint16_t frame = 0;  // the section's number
  uint16_t sectionName = 0xFFFF;
  uint16_t className = 0xFFFF;
  uint32_t offset = 0;
  uint32_t length = 0;
  void Put(LeWriter& w) const {
    w.U16(flags).U16(overlay).U16(group).U16(frame).U16(sectionName).U16(className).U32(offset).U32(length);
  }
};

// --- CodeView symbol records ---

enum SymbolKind : uint16_t {
  kSEnd = 0x0006,
  kSPub32 = 0x110E,
  kSGProc32 = 0x1110,
  kSProcRef = 0x1125,
};

// What one record's body may hold after its kind.
inline constexpr uint32_t kMaxRecordBody = 0xFF00;

// A record's length (of what follows the field) and kind; the body follows,
// the whole padded to 4 bytes.
struct RecordHeader {
  static constexpr std::size_t kSize = 4;
  uint16_t length = 0;
  uint16_t kind = 0;
  // The bytes of a record whose body has that many.
  static constexpr std::size_t RecordBytes(std::size_t body) { return (kSize + body + 3) / 4 * 4; }
  void Put(LeWriter& w) const { w.Room(kSize).U16(length).U16(kind); }
};

// S_GPROC32 before its name.
struct ProcSym {
  static constexpr std::size_t kSize = 35;
  uint32_t parent = 0;
  uint32_t end = 0;  // the offset of its S_END record in the module's stream
  uint32_t next = 0;
  uint32_t codeSize = 0;
  uint32_t debugStart = 0;
  uint32_t debugEnd = 0;
  uint32_t functionType = 0;
  uint32_t codeOffset = 0;
  uint16_t segment = 0;
  uint8_t flags = 0;
  void Put(LeWriter& w) const {
    w.Room(kSize);
    w.U32(parent).U32(end).U32(next).U32(codeSize).U32(debugStart).U32(debugEnd).U32(functionType);
    w.U32(codeOffset).U16(segment).U8(flags);
  }
};

enum PublicSymFlags : uint32_t { kPublicFunction = 2 };

// S_PUB32 before its name.
struct PublicSym {
  static constexpr std::size_t kSize = 10;
  uint32_t flags = kPublicFunction;
  uint32_t offset = 0;
  uint16_t segment = 0;
  void Put(LeWriter& w) const { w.Room(kSize).U32(flags).U32(offset).U16(segment); }
};

// S_PROCREF before its name: where a module's procedure is.
struct ProcRefSym {
  static constexpr std::size_t kSize = 10;
  uint32_t nameChecksum = 0;  // unused
  uint32_t symbolOffset = 0;  // in the module's stream
  uint16_t module = 0;        // 1-based
  void Put(LeWriter& w) const { w.Room(kSize).U32(nameChecksum).U32(symbolOffset).U16(module); }
};

// --- A module's stream: the C13 debug subsections ---

// The signature that opens a module's symbols.
inline constexpr uint32_t kCvSignatureC13 = 4;

enum DebugSubsectionKind : uint32_t {
  kDebugSLines = 0xF2,
  kDebugSFileChecksums = 0xF4,
};

struct DebugSubsectionHeader {
  static constexpr std::size_t kSize = 8;
  uint32_t kind = 0;
  uint32_t length = 0;  // of the data after the header
  void Put(LeWriter& w) const { w.Room(kSize).U32(kind).U32(length); }
};

// DEBUG_S_LINES: the stretch of code its blocks cover.
struct LineFragmentHeader {
  static constexpr std::size_t kSize = 12;
  uint32_t relocationOffset = 0;
  uint16_t relocationSegment = 0;
  uint16_t flags = 0;  // no columns
  uint32_t codeSize = 0;
  void Put(LeWriter& w) const { w.Room(kSize).U32(relocationOffset).U16(relocationSegment).U16(flags).U32(codeSize); }
};

// One block of a file's rows.
struct LineBlockHeader {
  static constexpr std::size_t kSize = 12;
  uint32_t fileChecksumOffset = 0;  // of the file's entry in DEBUG_S_FILECHKSMS
  uint32_t lines = 0;
  uint32_t blockBytes = 0;  // the header and its rows
  void Put(LeWriter& w) const { w.Room(kSize).U32(fileChecksumOffset).U32(lines).U32(blockBytes); }
};

struct LineNumberEntry {
  static constexpr std::size_t kSize = 8;
  uint32_t offset = 0;  // from the fragment's start
  uint32_t line = 0;    // 24 bits
  bool statement = true;
  void Put(LeWriter& w) const { w.Room(kSize).U32(offset).U32((line & 0xFFFFFF) | (statement ? 0x80000000u : 0)); }
};

// An entry of DEBUG_S_FILECHKSMS without checksum bytes (padded to 4).
struct FileChecksumEntry {
  static constexpr std::size_t kSize = 8;
  uint32_t fileNameOffset = 0;  // in /names
  uint8_t checksumSize = 0;
  uint8_t checksumKind = 0;  // none
  void Put(LeWriter& w) const { w.Room(kSize).U32(fileNameOffset).U8(checksumSize).U8(checksumKind).U16(0); }
};

// --- The global and public symbol hashes (GSI) ---

inline constexpr uint32_t kGsiHashVersion = 0xEFFE0000 + 19990810;

struct GsiHashHeader {
  uint32_t versionSignature = 0xFFFFFFFF;
  uint32_t version = kGsiHashVersion;
  uint32_t hashRecordBytes = 0;
  uint32_t bucketBytes = 0;  // the bitmap and the chain starts
  void Put(LeWriter& w) const { w.U32(versionSignature).U32(version).U32(hashRecordBytes).U32(bucketBytes); }
};

struct GsiHashRecord {
  uint32_t recordOffset = 0;  // in the symbol record stream, plus one
  uint32_t referenceCount = 1;
  void Put(LeWriter& w) const { w.U32(recordOffset).U32(referenceCount); }
};

// The publics stream's header, before its GSI hash and address map.
struct PublicsStreamHeader {
  uint32_t hashBytes = 0;
  uint32_t addressMapBytes = 0;
  uint32_t thunks = 0;
  uint32_t thunkSize = 0;
  uint16_t thunkTableSection = 0;
  uint32_t thunkTableOffset = 0;
  uint32_t sections = 0;
  void Put(LeWriter& w) const {
    w.U32(hashBytes).U32(addressMapBytes).U32(thunks).U32(thunkSize);
    w.U16(thunkTableSection).U16(0).U32(thunkTableOffset).U32(sections);
  }
};

// --- The string table (/names) ---

inline constexpr uint32_t kStringTableSignature = 0xEFFEEFFE;

struct StringTableHeader {
  uint32_t signature = kStringTableSignature;
  uint32_t hashVersion = 1;
  uint32_t stringBytes = 0;
  void Put(LeWriter& w) const { w.U32(signature).U32(hashVersion).U32(stringBytes); }
};

// --- The section header stream: IMAGE_SECTION_HEADER each ---

enum ImageSectionFlags : uint32_t {
  kScnCntCode = 0x00000020,
  kScnMemExecute = 0x20000000,
  kScnMemRead = 0x40000000,
  kScnMemWrite = 0x80000000,
};

struct ImageSectionHeader {
  std::array<char, 8> name{};
  uint32_t virtualSize = 0;
  uint32_t virtualAddress = 0;
  uint32_t rawSize = 0;
  uint32_t rawPointer = 0;
  uint32_t relocationsPointer = 0;
  uint32_t lineNumbersPointer = 0;
  uint16_t relocations = 0;
  uint16_t lineNumbers = 0;
  uint32_t characteristics = 0;
  void Put(LeWriter& w) const {
    w.Bytes({name.data(), name.size()});
    w.U32(virtualSize).U32(virtualAddress).U32(rawSize).U32(rawPointer).U32(relocationsPointer);
    w.U32(lineNumbersPointer).U16(relocations).U16(lineNumbers).U32(characteristics);
  }
};

}  // namespace qf::pdb
