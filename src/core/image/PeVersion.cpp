#include "image/PeVersion.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "image/PeImage.h"

namespace qf {
namespace {

constexpr uint32_t kResourceDirectory = 2;
constexpr uint32_t kRtVersion = 16;
constexpr uint32_t kHighBit = 0x80000000u;
constexpr uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr uint64_t kFixedInfoSize = 52;
constexpr std::u16string_view kVersionKey = u"VS_VERSION_INFO";

// One resource directory entry: its name or id, and where it leads.
struct DirEntry {
  uint32_t name;
  uint32_t target;
};

// The entries of the directory at offset (relative to the resource root),
// all of them inside the root's bytes; nullopt when the header is not.
std::optional<std::vector<DirEntry>> ReadDirectory(const LeBytes& root, uint64_t offset) {
  if (!root.Has(offset, 16)) return std::nullopt;
  const uint32_t count = uint32_t{*root.U16(offset + 12)} + *root.U16(offset + 14);
  std::vector<DirEntry> entries;
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t entry = offset + 16 + uint64_t{i} * 8;
    if (!root.Has(entry, 8)) break;
    entries.push_back({*root.U32(entry), *root.U32(entry + 4)});
  }
  return entries;
}

// The subdirectory an entry leads to (its offset), if it leads to one.
std::optional<uint64_t> Subdirectory(const DirEntry& entry) {
  if ((entry.target & kHighBit) == 0) return std::nullopt;
  return entry.target & ~kHighBit;
}

// The fixed file version inside a VS_VERSIONINFO block.
bool ReadFixedInfo(const LeBytes& block, PeFileVersion& result) {
  uint64_t at = 6;  // wLength, wValueLength, wType
  for (const char16_t c : kVersionKey) {
    if (block.U16(at) != c) return false;
    at += 2;
  }
  if (block.U16(at) != 0) return false;
  at = (at + 2 + 3) & ~uint64_t{3};
  if (!block.Has(at, kFixedInfoSize)) return false;
  if (*block.U16(2) < kFixedInfoSize) return false;  // wValueLength
  if (*block.U32(at) != kFixedInfoSignature) return false;
  result.versionMS = *block.U32(at + 8);
  result.versionLS = *block.U32(at + 12);
  return true;
}

}  // namespace

std::string PeFileVersion::Text() const {
  if (status != Found) return "";
  return std::to_string(versionMS >> 16) + "." + std::to_string(versionMS & 0xFFFF) + "." +
         std::to_string(versionLS >> 16) + "." + std::to_string(versionLS & 0xFFFF);
}

PeFileVersion ReadPeFileVersion(std::string_view bytes) {
  PeFileVersion result;
  const std::optional<PeImage> image = ReadPeImage(bytes);
  if (!image) return result;
  result.is64 = image->is64;
  result.status = PeFileVersion::NoVersionResource;

  // RT_VERSION, its first name, that name's first language.
  const uint32_t resourceRva = image->Directory(kResourceDirectory).rva;
  if (resourceRva == 0) return result;
  const LeBytes root(PeBytesAt(*image, bytes, resourceRva, UINT64_MAX));
  const auto types = ReadDirectory(root, 0);
  if (!types) return result;
  const auto version = std::find_if(types->begin(), types->end(),
                                    [](const DirEntry& e) { return e.name == kRtVersion; });
  if (version == types->end()) return result;
  const std::optional<uint64_t> namesAt = Subdirectory(*version);
  if (!namesAt) return result;
  const auto names = ReadDirectory(root, *namesAt);
  if (!names || names->empty()) return result;
  const std::optional<uint64_t> languagesAt = Subdirectory(names->front());
  if (!languagesAt) return result;
  const auto languages = ReadDirectory(root, *languagesAt);
  if (!languages || languages->empty() || Subdirectory(languages->front())) return result;

  // The data entry (an RVA and a size) and the block it names.
  const uint64_t dataEntry = languages->front().target;
  if (!root.Has(dataEntry, 16)) return result;
  const uint32_t dataRva = *root.U32(dataEntry);
  const uint32_t dataSize = *root.U32(dataEntry + 4);
  const LeBytes block(PeBytesAt(*image, bytes, dataRva, dataSize));
  if (ReadFixedInfo(block, result)) result.status = PeFileVersion::Found;
  return result;
}

PeFileVersion ReadPeFileVersionOfFile(const std::string& path, const FileSystem& fs) {
  return ReadPeFileVersion(fs.ReadWholeFile(path));
}

}  // namespace qf
