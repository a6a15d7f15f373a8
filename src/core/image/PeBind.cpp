#include "image/PeBind.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "image/PeImage.h"

namespace qf {
namespace {

constexpr unsigned kCertificateDirectory = 4;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kCoffSymbolSize = 18;
constexpr uint16_t kDebugStripped = 0x0200;  // IMAGE_FILE_DEBUG_STRIPPED

void Put16(std::string& bytes, uint64_t at, uint32_t value) {
  for (unsigned k = 0; k < 2; ++k) bytes[at + k] = static_cast<char>(value >> (8 * k) & 0xFF);
}
void Put32(std::string& bytes, uint64_t at, uint32_t value) {
  for (unsigned k = 0; k < 4; ++k) bytes[at + k] = static_cast<char>(value >> (8 * k) & 0xFF);
}
uint64_t AlignUp(uint64_t value, uint64_t alignment) {
  return alignment == 0 ? value : (value + alignment - 1) / alignment * alignment;
}

BindOutcome Refuse(std::string why) { return BindOutcome{{}, std::move(why)}; }

// The record debuggers match a PDB by: "RSDS", GUID, age, the file name.
std::string CodeViewRecord(const BindRequest& request) {
  const std::string_view path = request.pdbName;
  const size_t slash = path.find_last_of("/\\:");
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  std::string record(24 + name.size() + 1, '\0');
  Put32(record, 0, PeImage::kRsdsSignature);
  std::copy(request.guid.begin(), request.guid.end(), record.begin() + 4);
  Put32(record, 20, request.age);
  std::copy(name.begin(), name.end(), record.begin() + 24);
  return record;
}

// Where the headers lie in the file.
struct Headers {
  uint64_t fileHeader = 0;
  uint64_t optional = 0;
  uint64_t sectionTable = 0;
  uint32_t fileAlignment = 0;
  uint32_t sectionAlignment = 0;
  uint64_t checksumAt = 0;
  uint64_t directoriesAt = 0;  // the first data directory
};

Headers HeadersOf(const LeBytes& in, bool is64) {
  Headers h;
  h.fileHeader = uint64_t{*in.U32(0x3C)} + 4;
  h.optional = h.fileHeader + 20;
  h.sectionTable = h.optional + *in.U16(h.fileHeader + 16);
  h.sectionAlignment = in.U32(h.optional + 32).value_or(0);
  h.fileAlignment = in.U32(h.optional + 36).value_or(0);
  h.checksumAt = h.optional + 64;
  h.directoriesAt = h.optional + (is64 ? 112 : 96);
  return h;
}

// The standard PE checksum: the 16-bit one's-complement sum of the file
// (its checksum field taken as zero) plus the file's length.
uint32_t PeChecksum(std::string_view bytes, uint64_t checksumAt) {
  const auto byte = [&](uint64_t i) -> uint64_t {
    return i - checksumAt < 4 ? 0 : static_cast<unsigned char>(bytes[i]);
  };
  uint64_t sum = 0;
  for (uint64_t i = 0; i < bytes.size(); i += 2) {
    sum += byte(i);
    if (i + 1 < bytes.size()) sum += byte(i + 1) << 8;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + bytes.size());
}

// Room in a section's memory between its contents and the end of its last
// page: start (4-aligned) up to end; file-backed up to rawEnd.
struct Room {
  size_t section = 0;
  uint64_t start = 0, end = 0, rawEnd = 0;  // RVAs
};

std::vector<Room> RoomsOf(const PeImage& image) {
  std::vector<Room> rooms;
  std::vector<uint32_t> starts;
  for (const PeSection& s : image.sections) starts.push_back(s.virtualAddress);
  for (size_t i = 0; i < image.sections.size(); ++i) {
    const PeSection& s = image.sections[i];
    Room room{i, AlignUp(uint64_t{s.virtualAddress} + s.Span(), 4), uint64_t{image.sizeOfImage},
              uint64_t{s.virtualAddress} + s.rawSize};
    for (uint32_t next : starts) {
      if (next > s.virtualAddress) room.end = std::min<uint64_t>(room.end, next);
    }
    rooms.push_back(room);
  }
  return rooms;
}

}  // namespace

BindOutcome BindCodeView(std::string_view input, const BindRequest& request) {
  const std::optional<PeImage> image = ReadPeImage(input);
  if (!image) return Refuse("not a Windows executable: no PE headers");
  if (image->directories.size() <= PeImage::kDebugDirectory || image->sections.empty())
    return Refuse("the image has no debug directory entry in its headers or no sections");
  const LeBytes in(input);
  const Headers h = HeadersOf(in, image->is64);
  if (!in.Has(h.sectionTable, uint64_t{kSectionHeaderSize} * image->sections.size()))
    return Refuse("the section table runs past the end of the file");
  if (h.sectionAlignment == 0 || h.sectionAlignment < h.fileAlignment)
    return Refuse("the image's section alignment is not one a loader maps");

  // What follows the headers and the sections' raw data: the COFF symbol
  // table (the image's own, found by its header), a certificate table,
  // anything else appended.
  uint64_t sectionsEnd = std::max<uint64_t>(h.sectionTable + uint64_t{kSectionHeaderSize} * image->sections.size(),
                                            h.directoriesAt + uint64_t{8} * image->directories.size());
  for (const PeSection& s : image->sections) {
    if (s.rawSize != 0) sectionsEnd = std::max<uint64_t>(sectionsEnd, uint64_t{s.rawOffset} + s.rawSize);
  }
  sectionsEnd = std::min<uint64_t>(sectionsEnd, input.size());
  uint64_t fileEnd = input.size();
  const PeDataDirectory certificates = image->Directory(kCertificateDirectory);
  if (certificates.size != 0) {
    if (!request.force)
      return Refuse("the image is signed (it has a certificate table): binding must come before signing");
    if (certificates.rva >= sectionsEnd && certificates.rva < fileEnd) fileEnd = certificates.rva;
  }
  uint64_t symbols = *in.U32(h.fileHeader + 8), symbolsEnd = sectionsEnd;
  if (symbols >= sectionsEnd && symbols < fileEnd) {
    const uint64_t strings = symbols + uint64_t{*in.U32(h.fileHeader + 12)} * kCoffSymbolSize;
    symbolsEnd = std::min(fileEnd, strings + in.U32(strings).value_or(0));
  } else {
    symbols = 0;
  }
  const uint64_t overlay = std::max(symbolsEnd, sectionsEnd);
  if (overlay < fileEnd && !request.force)
    return Refuse("the image has " + std::to_string(fileEnd - overlay) +
                  " bytes appended after its last section (an overlay), which binding may move");

  const std::string record = CodeViewRecord(request);
  std::string out(input.substr(0, fileEnd));
  if (certificates.size != 0) out.replace(h.directoriesAt + uint64_t{kCertificateDirectory} * 8, 8, 8, '\0');
  auto finish = [&](std::string bytes) {
    // Overlapping sections can hide the record from a reader: read it back.
    const std::optional<PeImage> bound = ReadPeImage(bytes);
    const std::optional<PeCodeView> view = bound ? ReadPeCodeView(*bound, bytes) : std::nullopt;
    if (!view || view->guid != request.guid || view->age != request.age)
      return Refuse("the image's section table is damaged: the record written cannot be read back");
    // A stripped image's flag sends debuggers to a .dbg file, past the record.
    Put16(bytes, h.fileHeader + 18, *LeBytes(bytes).U16(h.fileHeader + 18) & ~kDebugStripped);
    if (in.U32(h.checksumAt).value_or(0) != 0) Put32(bytes, h.checksumAt, PeChecksum(bytes, h.checksumAt));
    return BindOutcome{std::move(bytes), {}};
  };

  // The debug directory's entries as they are, the CodeView one found.
  const PeDataDirectory debug = image->Directory(PeImage::kDebugDirectory);
  const uint64_t oldSize = debug.size / PeImage::kDebugEntrySize * PeImage::kDebugEntrySize;
  const std::string_view oldEntries =
      debug.rva == 0 ? std::string_view{} : PeBytesAt(*image, input, debug.rva, oldSize);
  std::vector<std::string> entries;
  std::optional<size_t> codeView;
  for (uint64_t at = 0; at + PeImage::kDebugEntrySize <= oldEntries.size(); at += PeImage::kDebugEntrySize) {
    entries.emplace_back(oldEntries.substr(at, PeImage::kDebugEntrySize));
    if (LeBytes(entries.back()).U32(12) == PeImage::kDebugTypeCodeView && !codeView) codeView = entries.size() - 1;
  }
  // A CodeView record with room for the new one is overwritten where it is.
  if (codeView) {
    const LeBytes entry(entries[*codeView]);
    const uint64_t size = *entry.U32(16), pointer = *entry.U32(24);
    if (size >= record.size() && pointer != 0 && pointer + size <= sectionsEnd) {
      const uint64_t entryAt = static_cast<uint64_t>(oldEntries.data() - input.data()) + *codeView * PeImage::kDebugEntrySize;
      out.replace(pointer, size, record + std::string(size - record.size(), '\0'));
      Put32(out, entryAt + 16, static_cast<uint32_t>(record.size()));
      return finish(std::move(out));
    }
  }
  if (!codeView) {
    entries.emplace_back(PeImage::kDebugEntrySize, '\0');
    codeView = entries.size() - 1;
  }
  const uint64_t directorySize = uint64_t{PeImage::kDebugEntrySize} * entries.size();
  const uint64_t need = directorySize + record.size();

  // The room: file-backed room in the last section, else in any section,
  // else the last section's last page with its raw data grown in the file.
  const std::vector<Room> rooms = RoomsOf(*image);
  const size_t last = static_cast<size_t>(
      std::max_element(image->sections.begin(), image->sections.end(),
                       [](const PeSection& a, const PeSection& b) { return a.virtualAddress < b.virtualAddress; }) -
      image->sections.begin());
  const PeSection& lastSection = image->sections[last];
  const bool lastInFile =
      lastSection.rawSize == 0 || uint64_t{lastSection.rawOffset} + lastSection.rawSize == sectionsEnd;
  std::optional<Room> chosen;
  bool grow = false;
  auto fitsRaw = [&](const Room& r) {
    const PeSection& s = image->sections[r.section];
    return r.start + need <= std::min(r.end, r.rawEnd) &&
           s.rawOffset + (r.start + need - s.virtualAddress) <= sectionsEnd;
  };
  if (fitsRaw(rooms[last])) {
    chosen = rooms[last];
  } else {
    for (const Room& r : rooms) {
      if (!chosen && fitsRaw(r)) chosen = r;
    }
  }
  if (!chosen && lastInFile && rooms[last].start + need <= rooms[last].end) {
    chosen = rooms[last];
    grow = true;
  }
  uint64_t directoryRva = 0, directoryAt = 0;
  if (chosen) {
    PeSection section = image->sections[chosen->section];
    const uint64_t header = h.sectionTable + uint64_t{kSectionHeaderSize} * chosen->section;
    const uint64_t used = chosen->start + need - section.virtualAddress;
    if (grow) {
      // The section's raw data grows to the file alignment past the record;
      // the COFF symbol table and, when forced, the appended data follow it.
      const uint64_t rawOffset = section.rawSize != 0 ? section.rawOffset : AlignUp(sectionsEnd, h.fileAlignment);
      const uint64_t rawSize = AlignUp(used, h.fileAlignment);
      std::string grown(out.substr(0, sectionsEnd));
      grown.resize(rawOffset + rawSize, '\0');
      if (symbols != 0) {
        Put32(grown, h.fileHeader + 8, static_cast<uint32_t>(grown.size()));
        grown.append(out, symbols, symbolsEnd - symbols);
      }
      grown.append(out, overlay, fileEnd - overlay);
      out = std::move(grown);
      section.rawOffset = static_cast<uint32_t>(rawOffset);
      section.rawSize = static_cast<uint32_t>(rawSize);
      Put32(out, header + 16, section.rawSize);
      Put32(out, header + 20, section.rawOffset);
    }
    Put32(out, header + 8, static_cast<uint32_t>(std::max<uint64_t>(section.virtualSize, used)));
    directoryRva = chosen->start;
    directoryAt = section.rawOffset + (directoryRva - section.virtualAddress);
  } else {
    // The header page, as linkers put the bound-import table there: past
    // the section table and whatever a directory keeps there, below the
    // first section's memory. Where the headers' file bytes must grow, the
    // sections' data moves by whole file-alignment units, and every file
    // offset with it; the RVAs, and so the identity, stay.
    const std::string refusal = "no room for a debug directory of " + std::to_string(need) +
                                " bytes: the last section fills its last page, no section has unused room";
    uint64_t firstVa = image->sizeOfImage, firstRaw = sectionsEnd;
    for (const PeSection& s : image->sections) {
      firstVa = std::min<uint64_t>(firstVa, s.virtualAddress);
      if (s.rawSize != 0) firstRaw = std::min<uint64_t>(firstRaw, s.rawOffset);
    }
    const uint64_t tableEnd = h.sectionTable + uint64_t{kSectionHeaderSize} * image->sections.size();
    uint64_t start = std::max(tableEnd, h.directoriesAt + uint64_t{8} * image->directories.size());
    for (unsigned i = 0; i < image->directories.size(); ++i) {
      const PeDataDirectory d = image->directories[i];
      if (i != kCertificateDirectory && d.rva != 0 && d.rva < firstVa) start = std::max<uint64_t>(start, uint64_t{d.rva} + d.size);
    }
    for (const std::string& e : entries) {
      const uint64_t size = *LeBytes(e).U32(16), pointer = *LeBytes(e).U32(24);
      if (pointer != 0 && pointer < firstRaw) start = std::max(start, pointer + size);
    }
    start = AlignUp(start, 4);
    const uint64_t headers = std::max<uint64_t>(in.U32(h.optional + 60).value_or(0), AlignUp(start + need, h.fileAlignment));
    if (firstRaw < tableEnd || headers > firstVa)
      return Refuse(refusal + " and the headers' page has " + std::to_string(firstVa > start ? firstVa - start : 0) +
                    " bytes free past the section table");
    const uint64_t shift = headers > firstRaw ? AlignUp(headers - firstRaw, std::max<uint32_t>(h.fileAlignment, 1)) : 0;
    if (shift != 0) {
      if (out.size() + shift > UINT32_MAX) return Refuse(refusal + " and the headers cannot grow past 4 GB");
      out.insert(firstRaw, shift, '\0');
      const auto move = [&](uint64_t at) {
        const uint32_t offset = *LeBytes(out).U32(at);
        if (offset >= firstRaw) Put32(out, at, static_cast<uint32_t>(offset + shift));
      };
      for (size_t i = 0; i < image->sections.size(); ++i) {
        const uint64_t header = h.sectionTable + uint64_t{kSectionHeaderSize} * i;
        for (unsigned field : {20u, 24u, 28u}) {  // raw data, relocations, line numbers
          if (LeBytes(out).U32(header + field) != 0u) move(header + field);
        }
      }
      if (symbols != 0) move(h.fileHeader + 8);
      for (std::string& e : entries) {
        const uint32_t pointer = *LeBytes(e).U32(24);
        if (pointer >= firstRaw) Put32(e, 24, static_cast<uint32_t>(pointer + shift));
      }
    }
    Put32(out, h.optional + 60, static_cast<uint32_t>(headers));
    directoryRva = directoryAt = start;
  }

  const uint64_t recordRva = directoryRva + directorySize;
  const uint64_t recordAt = directoryAt + directorySize;
  std::string& entry = entries[*codeView];
  Put32(entry, 0, 0);
  Put32(entry, 4, image->timeDateStamp);
  Put16(entry, 8, 0);
  Put16(entry, 10, 0);
  Put32(entry, 12, PeImage::kDebugTypeCodeView);
  Put32(entry, 16, static_cast<uint32_t>(record.size()));
  Put32(entry, 20, static_cast<uint32_t>(recordRva));
  Put32(entry, 24, static_cast<uint32_t>(recordAt));
  for (size_t i = 0; i < entries.size(); ++i)
    out.replace(directoryAt + i * PeImage::kDebugEntrySize, PeImage::kDebugEntrySize, entries[i]);
  out.replace(recordAt, record.size(), record);
  Put32(out, h.directoriesAt + uint64_t{PeImage::kDebugDirectory} * 8, static_cast<uint32_t>(directoryRva));
  Put32(out, h.directoriesAt + uint64_t{PeImage::kDebugDirectory} * 8 + 4, static_cast<uint32_t>(directorySize));
  return finish(std::move(out));
}

}  // namespace qf
