#include "image/PeVersion.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace qf {
namespace {

constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint32_t kResourceDirectory = 2;
constexpr uint32_t kRtVersion = 16;
constexpr uint32_t kHighBit = 0x80000000u;
constexpr uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr uint64_t kFixedInfoSize = 52;
constexpr std::u16string_view kVersionKey = u"VS_VERSION_INFO";

// Little-endian reads that answer only inside the bytes they were given.
class Bytes {
 public:
  explicit Bytes(std::string_view data) : data_(data) {}
  uint64_t Size() const { return data_.size(); }
  bool Has(uint64_t offset, uint64_t count) const { return offset <= data_.size() && count <= data_.size() - offset; }
  std::optional<uint16_t> U16(uint64_t at) const {
    if (!Has(at, 2)) return std::nullopt;
    return static_cast<uint16_t>(Byte(at) | Byte(at + 1) << 8);
  }
  std::optional<uint32_t> U32(uint64_t at) const {
    if (!Has(at, 4)) return std::nullopt;
    return Byte(at) | Byte(at + 1) << 8 | Byte(at + 2) << 16 | static_cast<uint32_t>(Byte(at + 3)) << 24;
  }

 private:
  uint32_t Byte(uint64_t at) const { return static_cast<unsigned char>(data_[at]); }
  std::string_view data_;
};

struct Section {
  uint32_t virtualAddress;
  uint32_t virtualSize;
  uint32_t rawSize;
  uint32_t rawOffset;
};

// The file bytes behind a relative virtual address: where they start and how
// many of the same section follow in the file.
struct Mapped {
  uint64_t offset;
  uint64_t available;
};

std::optional<Mapped> MapRva(const std::vector<Section>& sections, uint32_t rva, uint64_t fileSize) {
  for (const Section& s : sections) {
    const uint64_t span = s.virtualSize != 0 ? s.virtualSize : s.rawSize;
    if (rva < s.virtualAddress || rva - s.virtualAddress >= span) continue;
    const uint64_t delta = rva - s.virtualAddress;
    if (delta >= s.rawSize) return std::nullopt;  // zero-filled, not in the file
    const uint64_t offset = uint64_t{s.rawOffset} + delta;
    if (offset >= fileSize) return std::nullopt;
    return Mapped{offset, std::min<uint64_t>(s.rawSize - delta, fileSize - offset)};
  }
  return std::nullopt;
}

// One resource directory entry: its name or id, and where it leads.
struct DirEntry {
  uint32_t name;
  uint32_t target;
};

// The entries of the directory at offset (relative to the resource root),
// all of them inside the root's bytes; nullopt when the header is not.
std::optional<std::vector<DirEntry>> ReadDirectory(const Bytes& bytes, const Mapped& root, uint64_t offset) {
  if (offset > root.available || root.available - offset < 16) return std::nullopt;
  const uint64_t at = root.offset + offset;
  const uint32_t count = uint32_t{*bytes.U16(at + 12)} + *bytes.U16(at + 14);
  std::vector<DirEntry> entries;
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t entry = offset + 16 + uint64_t{i} * 8;
    if (root.available - offset < 16 + uint64_t{i + 1} * 8) break;
    entries.push_back({*bytes.U32(root.offset + entry), *bytes.U32(root.offset + entry + 4)});
  }
  return entries;
}

// The subdirectory an entry leads to (its offset), if it leads to one.
std::optional<uint64_t> Subdirectory(const DirEntry& entry) {
  if ((entry.target & kHighBit) == 0) return std::nullopt;
  return entry.target & ~kHighBit;
}

// The fixed file version inside a VS_VERSIONINFO block.
bool ReadFixedInfo(const Bytes& bytes, const Mapped& block, PeFileVersion& result) {
  uint64_t at = 6;  // wLength, wValueLength, wType
  for (const char16_t c : kVersionKey) {
    if (at + 2 > block.available || *bytes.U16(block.offset + at) != c) return false;
    at += 2;
  }
  if (at + 2 > block.available || *bytes.U16(block.offset + at) != 0) return false;
  at = (at + 2 + 3) & ~uint64_t{3};
  if (block.available < at || block.available - at < kFixedInfoSize) return false;
  const uint64_t valueLength = *bytes.U16(block.offset + 2);
  if (valueLength < kFixedInfoSize) return false;
  if (*bytes.U32(block.offset + at) != kFixedInfoSignature) return false;
  result.versionMS = *bytes.U32(block.offset + at + 8);
  result.versionLS = *bytes.U32(block.offset + at + 12);
  return true;
}

}  // namespace

std::string PeFileVersion::Text() const {
  if (status != Found) return "";
  return std::to_string(versionMS >> 16) + "." + std::to_string(versionMS & 0xFFFF) + "." +
         std::to_string(versionLS >> 16) + "." + std::to_string(versionLS & 0xFFFF);
}

PeFileVersion ReadPeFileVersion(std::string_view image) {
  const Bytes bytes(image);
  PeFileVersion result;

  // DOS header, PE signature, file header, optional header magic.
  if (!bytes.Has(0, 64) || image[0] != 'M' || image[1] != 'Z') return result;
  const uint64_t pe = *bytes.U32(0x3C);
  if (bytes.U32(pe) != kPeSignature || !bytes.Has(pe + 4, 20)) return result;
  const uint64_t fileHeader = pe + 4;
  const uint16_t sectionCount = *bytes.U16(fileHeader + 2);
  const uint64_t optionalSize = *bytes.U16(fileHeader + 16);
  const uint64_t optional = fileHeader + 20;
  const std::optional<uint16_t> magic = bytes.U16(optional);
  if (optionalSize < 2 || (magic != kMagicPe32 && magic != kMagicPe32Plus)) return result;
  result.is64 = magic == kMagicPe32Plus;
  result.status = PeFileVersion::NoVersionResource;

  // The resource entry of the data directories, inside the optional header.
  const uint64_t countAt = result.is64 ? 108 : 92;
  const uint64_t directoryAt = countAt + 4 + kResourceDirectory * 8;
  if (optionalSize < directoryAt + 8 || !bytes.Has(optional, directoryAt + 8)) return result;
  if (*bytes.U32(optional + countAt) <= kResourceDirectory) return result;
  const uint32_t resourceRva = *bytes.U32(optional + directoryAt);
  if (resourceRva == 0) return result;

  // The sections that lie whole in the file's section table.
  std::vector<Section> sections;
  const uint64_t table = optional + optionalSize;
  for (uint64_t i = 0; i < sectionCount && bytes.Has(table + i * 40, 40); ++i) {
    const uint64_t s = table + i * 40;
    sections.push_back({*bytes.U32(s + 12), *bytes.U32(s + 8), *bytes.U32(s + 16), *bytes.U32(s + 20)});
  }

  // RT_VERSION, its first name, that name's first language.
  const std::optional<Mapped> root = MapRva(sections, resourceRva, bytes.Size());
  if (!root) return result;
  const auto types = ReadDirectory(bytes, *root, 0);
  if (!types) return result;
  const auto version = std::find_if(types->begin(), types->end(),
                                    [](const DirEntry& e) { return e.name == kRtVersion; });
  if (version == types->end()) return result;
  const std::optional<uint64_t> namesAt = Subdirectory(*version);
  if (!namesAt) return result;
  const auto names = ReadDirectory(bytes, *root, *namesAt);
  if (!names || names->empty()) return result;
  const std::optional<uint64_t> languagesAt = Subdirectory(names->front());
  if (!languagesAt) return result;
  const auto languages = ReadDirectory(bytes, *root, *languagesAt);
  if (!languages || languages->empty() || Subdirectory(languages->front())) return result;

  // The data entry (an RVA and a size) and the block it names.
  const uint64_t dataEntry = languages->front().target;
  if (dataEntry > root->available || root->available - dataEntry < 16) return result;
  const uint32_t dataRva = *bytes.U32(root->offset + dataEntry);
  const uint32_t dataSize = *bytes.U32(root->offset + dataEntry + 4);
  std::optional<Mapped> block = MapRva(sections, dataRva, bytes.Size());
  if (!block) return result;
  block->available = std::min<uint64_t>(block->available, dataSize);
  if (ReadFixedInfo(bytes, *block, result)) result.status = PeFileVersion::Found;
  return result;
}

PeFileVersion ReadPeFileVersionOfFile(const std::string& path, const FileSystem& fs) {
  return ReadPeFileVersion(fs.ReadWholeFile(path));
}

}  // namespace qf
