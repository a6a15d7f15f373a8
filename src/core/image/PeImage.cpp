#include "image/PeImage.h"

#include "base/NumberText.h"

#include <algorithm>
#include <cstdio>

namespace qf {
namespace {

constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint16_t kMachineI386 = 0x14C;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint32_t kMaxDirectories = 16;
constexpr uint32_t kMaxPdbName = 1024;

}  // namespace

std::string_view PeImage::MachineName() const {
  switch (machine) {
    case Machine::X86: return "x86";
    case Machine::Amd64: return "x64";
    case Machine::Other: break;
  }
  return "other";
}

std::string SymbolServerKey(uint32_t timeDateStamp, uint32_t sizeOfImage) {
  return HexText(timeDateStamp, 8) + HexText(sizeOfImage, 1, HexCase::Lower);
}

std::string PeImage::SymbolServerKey() const { return qf::SymbolServerKey(timeDateStamp, sizeOfImage); }

PeDataDirectory PeImage::Directory(unsigned index) const {
  return index < directories.size() ? directories[index] : PeDataDirectory{};
}

const PeSection* PeImage::SectionAt(uint32_t rva) const {
  for (const PeSection& s : sections) {
    if (rva >= s.virtualAddress && rva - s.virtualAddress < s.Span()) return &s;
  }
  return nullptr;
}

std::optional<PeImage> ReadPeImage(std::string_view data) {
  const LeBytes bytes(data);
  if (!bytes.Has(0, 64) || data[0] != 'M' || data[1] != 'Z') return std::nullopt;
  const uint64_t pe = *bytes.U32(0x3C);
  if (bytes.U32(pe) != kPeSignature || !bytes.Has(pe + 4, 20)) return std::nullopt;
  const uint64_t fileHeader = pe + 4;
  const uint64_t optionalSize = *bytes.U16(fileHeader + 16);
  const uint64_t optional = fileHeader + 20;
  const std::optional<uint16_t> magic = bytes.U16(optional);
  if (optionalSize < 2 || (magic != kMagicPe32 && magic != kMagicPe32Plus)) return std::nullopt;

  PeImage image;
  image.machineCode = *bytes.U16(fileHeader);
  image.machine = image.machineCode == kMachineI386    ? PeImage::Machine::X86
                  : image.machineCode == kMachineAmd64 ? PeImage::Machine::Amd64
                                                       : PeImage::Machine::Other;
  image.timeDateStamp = *bytes.U32(fileHeader + 4);
  image.is64 = magic == kMagicPe32Plus;
  // ImageBase and SizeOfImage lie at the same places in both kinds but for
  // the 4 bytes of BaseOfData that PE32+ gives to an 8-byte ImageBase.
  if (optionalSize >= 60 && bytes.Has(optional, 60)) {
    image.imageBase = image.is64 ? *bytes.U64(optional + 24) : *bytes.U32(optional + 28);
    image.sizeOfImage = *bytes.U32(optional + 56);
  }
  if (optionalSize >= 64 && bytes.Has(optional, 64)) image.sizeOfHeaders = *bytes.U32(optional + 60);
  const uint64_t countAt = image.is64 ? 108 : 92;
  if (optionalSize >= countAt + 4 && bytes.Has(optional, countAt + 4)) {
    const uint32_t count = std::min(*bytes.U32(optional + countAt), kMaxDirectories);
    for (uint32_t i = 0; i < count; ++i) {
      const uint64_t at = countAt + 4 + uint64_t{i} * 8;
      if (optionalSize < at + 8 || !bytes.Has(optional + at, 8)) break;
      image.directories.push_back({*bytes.U32(optional + at), *bytes.U32(optional + at + 4)});
    }
  }
  const uint16_t sectionCount = *bytes.U16(fileHeader + 2);
  const uint64_t table = optional + optionalSize;
  for (uint64_t i = 0; i < sectionCount && bytes.Has(table + i * 40, 40); ++i) {
    const uint64_t s = table + i * 40;
    PeSection section;
    const std::string_view name = bytes.View(s, 8);
    section.name = std::string(name.substr(0, std::min(name.find('\0'), name.size())));
    section.virtualSize = *bytes.U32(s + 8);
    section.virtualAddress = *bytes.U32(s + 12);
    section.rawSize = *bytes.U32(s + 16);
    section.rawOffset = *bytes.U32(s + 20);
    section.characteristics = *bytes.U32(s + 36);
    image.sections.push_back(std::move(section));
  }
  return image;
}

std::string_view PeBytesAt(const PeImage& image, std::string_view data, uint32_t rva, uint64_t length) {
  const PeSection* s = image.SectionAt(rva);
  if (s == nullptr) {
    // The headers lie in memory as in the file.
    if (rva >= image.sizeOfHeaders || rva >= data.size()) return {};
    return data.substr(rva, std::min<uint64_t>({uint64_t{image.sizeOfHeaders} - rva, data.size() - rva, length}));
  }
  const uint64_t delta = rva - s->virtualAddress;
  if (delta >= s->rawSize) return {};
  const uint64_t offset = uint64_t{s->rawOffset} + delta;
  if (offset >= data.size()) return {};
  const uint64_t available = std::min<uint64_t>({uint64_t{s->rawSize} - delta, data.size() - offset, length});
  return data.substr(offset, available);
}

std::optional<PeCodeView> ReadPeCodeView(const PeImage& image, std::string_view data) {
  const PeDataDirectory debug = image.Directory(PeImage::kDebugDirectory);
  if (debug.rva == 0 || debug.size < PeImage::kDebugEntrySize) return std::nullopt;
  const LeBytes entries(PeBytesAt(image, data, debug.rva, debug.size));
  for (uint64_t at = 0; entries.Has(at, PeImage::kDebugEntrySize); at += PeImage::kDebugEntrySize) {
    if (*entries.U32(at + 12) != PeImage::kDebugTypeCodeView) continue;
    const uint32_t size = *entries.U32(at + 16);
    const uint32_t rawOffset = *entries.U32(at + 24);
    if (size < 24 || rawOffset >= data.size()) continue;
    const LeBytes record(data.substr(rawOffset, std::min<uint64_t>(size, data.size() - rawOffset)));
    if (record.U32(0) != PeImage::kRsdsSignature || !record.Has(0, 24)) continue;
    PeCodeView view;
    for (unsigned i = 0; i < 16; ++i) view.guid[i] = *record.U8(4 + i);
    view.age = *record.U32(20);
    const std::string_view name = record.View(24, std::min<uint64_t>(record.Size() - 24, kMaxPdbName));
    view.pdbName = std::string(name.substr(0, std::min(name.find('\0'), name.size())));
    return view;
  }
  return std::nullopt;
}

}  // namespace qf
