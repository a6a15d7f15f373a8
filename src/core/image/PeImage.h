// The headers of a Windows executable (PE32 or PE32+: .exe, .dll, .bpl) read
// from its bytes without any system service: the machine, the identity a
// crash names it by (TimeDateStamp and SizeOfImage), the preferred base, the
// data directories and the section table, and the bytes behind a relative
// virtual address. Every read is checked against the bytes given.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qf {

// Little-endian reads that answer only inside the bytes they were given.
class LeBytes {
 public:
  explicit LeBytes(std::string_view data) : data_(data) {}
  uint64_t Size() const { return data_.size(); }
  bool Has(uint64_t offset, uint64_t count) const { return offset <= data_.size() && count <= data_.size() - offset; }
  std::optional<uint8_t> U8(uint64_t at) const {
    if (!Has(at, 1)) return std::nullopt;
    return static_cast<uint8_t>(data_[at]);
  }
  std::optional<uint16_t> U16(uint64_t at) const {
    if (!Has(at, 2)) return std::nullopt;
    return static_cast<uint16_t>(Byte(at) | Byte(at + 1) << 8);
  }
  std::optional<uint32_t> U32(uint64_t at) const {
    if (!Has(at, 4)) return std::nullopt;
    return Byte(at) | Byte(at + 1) << 8 | Byte(at + 2) << 16 | static_cast<uint32_t>(Byte(at + 3)) << 24;
  }
  std::optional<uint64_t> U64(uint64_t at) const {
    if (!Has(at, 8)) return std::nullopt;
    return uint64_t{*U32(at)} | uint64_t{*U32(at + 4)} << 32;
  }
  std::string_view View(uint64_t at, uint64_t count) const {
    if (!Has(at, count)) return {};
    return data_.substr(at, count);
  }

 private:
  uint32_t Byte(uint64_t at) const { return static_cast<unsigned char>(data_[at]); }
  std::string_view data_;
};

struct PeSection {
  std::string name;  // up to 8 characters, as the table spells it
  uint32_t virtualAddress = 0;
  uint32_t virtualSize = 0;
  uint32_t rawSize = 0;
  uint32_t rawOffset = 0;
  uint32_t characteristics = 0;

  static constexpr uint32_t kCode = 0x00000020;     // IMAGE_SCN_CNT_CODE
  static constexpr uint32_t kExecute = 0x20000000;  // IMAGE_SCN_MEM_EXECUTE
  bool IsCode() const { return (characteristics & (kCode | kExecute)) != 0; }
  // The bytes the section spans in memory (its virtual size, else its raw size).
  uint32_t Span() const { return virtualSize != 0 ? virtualSize : rawSize; }
};

struct PeDataDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
};

// The debug directory's CodeView record of the RSDS form: the PDB's GUID and
// age, which debuggers and symbol servers match it by, and its file name.
struct PeCodeView {
  std::array<uint8_t, 16> guid{};  // as stored: Data1..Data3 little-endian
  uint32_t age = 0;
  std::string pdbName;  // as written by the linker (may hold a path)
};

struct PeImage {
  enum class Machine { X86, Amd64, Other };
  static constexpr unsigned kExceptionDirectory = 3;
  static constexpr unsigned kDebugDirectory = 6;
  // A debug directory entry, and its type and record signature for a CodeView
  // record of the RSDS form.
  static constexpr uint32_t kDebugEntrySize = 28;
  static constexpr uint32_t kDebugTypeCodeView = 2;
  static constexpr uint32_t kRsdsSignature = 0x53445352;  // "RSDS"

  Machine machine = Machine::Other;
  uint16_t machineCode = 0;  // IMAGE_FILE_HEADER.Machine
  bool is64 = false;         // PE32+
  uint32_t timeDateStamp = 0;
  uint32_t sizeOfImage = 0;
  uint32_t sizeOfHeaders = 0;  // the headers' bytes, mapped at RVA 0 as they lie in the file
  uint64_t imageBase = 0;
  std::vector<PeDataDirectory> directories;
  std::vector<PeSection> sections;  // those that lie whole in the section table

  // "x86", "x64" or "other".
  std::string_view MachineName() const;
  // The key Windows symbol servers file an executable under: TimeDateStamp
  // as %08X and SizeOfImage as %x ("4A5BC3EE1e6000").
  std::string SymbolServerKey() const;
  PeDataDirectory Directory(unsigned index) const;
  // The section whose memory holds the RVA, else null.
  const PeSection* SectionAt(uint32_t rva) const;
};

// Reads the headers of image bytes; none when they are no PE image (no MZ
// header, no PE signature, or an optional header of neither known kind).
std::optional<PeImage> ReadPeImage(std::string_view bytes);

// The bytes of the image file that an RVA maps to, at most length of them
// and never past the end of its section's raw data (or of the headers, for
// an RVA below SizeOfHeaders that no section holds) or of the file; empty
// when the RVA lies in no section or in its zero-filled tail.
std::string_view PeBytesAt(const PeImage& image, std::string_view bytes, uint32_t rva, uint64_t length);

// The RSDS CodeView record named by the debug directory, if there is one.
std::optional<PeCodeView> ReadPeCodeView(const PeImage& image, std::string_view bytes);

// The symbol-server key of an identity: TimeDateStamp as %08X, SizeOfImage as %x.
std::string SymbolServerKey(uint32_t timeDateStamp, uint32_t sizeOfImage);

}  // namespace qf
