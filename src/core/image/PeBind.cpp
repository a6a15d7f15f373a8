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

// What follows the headers and the sections' raw data: the COFF symbol
// table (the image's own, found by its header), a certificate table,
// anything else appended.
struct FileLayout {
  uint64_t sectionsEnd = 0;  // the end of the headers and the sections' raw data
  uint64_t fileEnd = 0;      // the end of what is kept (a certificate table is dropped)
  uint64_t symbols = 0, symbolsEnd = 0;  // the COFF symbol table (0: none)
  uint64_t overlay = 0;      // where what is appended after both begins
  PeDataDirectory certificates;
};

// The layout of the file; a reason to refuse where binding may break it.
std::string LayoutOf(const PeImage& image, std::string_view input, const Headers& h, const BindRequest& request,
                     FileLayout& l) {
  const LeBytes in(input);
  l.sectionsEnd = std::max<uint64_t>(h.sectionTable + uint64_t{kSectionHeaderSize} * image.sections.size(),
                                     h.directoriesAt + uint64_t{8} * image.directories.size());
  for (const PeSection& s : image.sections) {
    if (s.rawSize != 0) l.sectionsEnd = std::max<uint64_t>(l.sectionsEnd, uint64_t{s.rawOffset} + s.rawSize);
  }
  l.sectionsEnd = std::min<uint64_t>(l.sectionsEnd, input.size());
  l.fileEnd = input.size();
  l.certificates = image.Directory(kCertificateDirectory);
  if (l.certificates.size != 0) {
    if (!request.force) return "the image is signed (it has a certificate table): binding must come before signing";
    if (l.certificates.rva >= l.sectionsEnd && l.certificates.rva < l.fileEnd) l.fileEnd = l.certificates.rva;
  }
  l.symbols = *in.U32(h.fileHeader + 8);
  l.symbolsEnd = l.sectionsEnd;
  if (l.symbols >= l.sectionsEnd && l.symbols < l.fileEnd) {
    const uint64_t strings = l.symbols + uint64_t{*in.U32(h.fileHeader + 12)} * kCoffSymbolSize;
    l.symbolsEnd = std::min(l.fileEnd, strings + in.U32(strings).value_or(0));
  } else {
    l.symbols = 0;
  }
  l.overlay = std::max(l.symbolsEnd, l.sectionsEnd);
  if (l.overlay < l.fileEnd && !request.force)
    return "the image has " + std::to_string(l.fileEnd - l.overlay) +
           " bytes appended after its last section (an overlay), which binding may move";
  return {};
}

// The room for `need` bytes: file-backed room in the last section, else in
// any section, else the last section's last page with its raw data grown in
// the file (grow).
std::optional<Room> ChooseRoom(const PeImage& image, const FileLayout& l, uint64_t need, bool& grow) {
  const std::vector<Room> rooms = RoomsOf(image);
  const size_t last = static_cast<size_t>(
      std::max_element(image.sections.begin(), image.sections.end(),
                       [](const PeSection& a, const PeSection& b) { return a.virtualAddress < b.virtualAddress; }) -
      image.sections.begin());
  const PeSection& lastSection = image.sections[last];
  const bool lastInFile =
      lastSection.rawSize == 0 || uint64_t{lastSection.rawOffset} + lastSection.rawSize == l.sectionsEnd;
  grow = false;
  auto fitsRaw = [&](const Room& r) {
    const PeSection& s = image.sections[r.section];
    return r.start + need <= std::min(r.end, r.rawEnd) &&
           s.rawOffset + (r.start + need - s.virtualAddress) <= l.sectionsEnd;
  };
  if (fitsRaw(rooms[last])) return rooms[last];
  for (const Room& r : rooms) {
    if (fitsRaw(r)) return r;
  }
  if (lastInFile && rooms[last].start + need <= rooms[last].end) {
    grow = true;
    return rooms[last];
  }
  return std::nullopt;
}

// The section's raw data grown to the file alignment past `used` bytes; the
// COFF symbol table and, when forced, the appended data follow it.
void GrowSection(std::string& out, PeSection& section, uint64_t header, uint64_t used, const Headers& h,
                 const FileLayout& l) {
  const uint64_t rawOffset = section.rawSize != 0 ? section.rawOffset : AlignUp(l.sectionsEnd, h.fileAlignment);
  const uint64_t rawSize = AlignUp(used, h.fileAlignment);
  std::string grown(out.substr(0, l.sectionsEnd));
  grown.resize(rawOffset + rawSize, '\0');
  if (l.symbols != 0) {
    Put32(grown, h.fileHeader + 8, static_cast<uint32_t>(grown.size()));
    grown.append(out, l.symbols, l.symbolsEnd - l.symbols);
  }
  grown.append(out, l.overlay, l.fileEnd - l.overlay);
  out = std::move(grown);
  section.rawOffset = static_cast<uint32_t>(rawOffset);
  section.rawSize = static_cast<uint32_t>(rawSize);
  Put32(out, header + 16, section.rawSize);
  Put32(out, header + 20, section.rawOffset);
}

// The debug directory's entries as they are, the CodeView one found.
struct DebugEntries {
  std::string_view old;  // in the input
  std::vector<std::string> entries;
  std::optional<size_t> codeView;
};

DebugEntries DebugEntriesOf(const PeImage& image, std::string_view input) {
  DebugEntries d;
  const PeDataDirectory debug = image.Directory(PeImage::kDebugDirectory);
  const uint64_t oldSize = debug.size / PeImage::kDebugEntrySize * PeImage::kDebugEntrySize;
  d.old = debug.rva == 0 ? std::string_view{} : PeBytesAt(image, input, debug.rva, oldSize);
  for (uint64_t at = 0; at + PeImage::kDebugEntrySize <= d.old.size(); at += PeImage::kDebugEntrySize) {
    d.entries.emplace_back(d.old.substr(at, PeImage::kDebugEntrySize));
    if (LeBytes(d.entries.back()).U32(12) == PeImage::kDebugTypeCodeView && !d.codeView) d.codeView = d.entries.size() - 1;
  }
  return d;
}

// The CodeView entry written, the directory and the record placed at
// directoryRva, directoryAt in the file.
void WriteDirectory(std::string& out, const PeImage& image, const Headers& h, DebugEntries& d,
                    uint64_t directoryRva, uint64_t directoryAt, const std::string& record) {
  const uint64_t directorySize = uint64_t{PeImage::kDebugEntrySize} * d.entries.size();
  const uint64_t recordRva = directoryRva + directorySize;
  const uint64_t recordAt = directoryAt + directorySize;
  std::string& entry = d.entries[*d.codeView];
  Put32(entry, 0, 0);
  Put32(entry, 4, image.timeDateStamp);
  Put16(entry, 8, 0);
  Put16(entry, 10, 0);
  Put32(entry, 12, PeImage::kDebugTypeCodeView);
  Put32(entry, 16, static_cast<uint32_t>(record.size()));
  Put32(entry, 20, static_cast<uint32_t>(recordRva));
  Put32(entry, 24, static_cast<uint32_t>(recordAt));
  for (size_t i = 0; i < d.entries.size(); ++i)
    out.replace(directoryAt + i * PeImage::kDebugEntrySize, PeImage::kDebugEntrySize, d.entries[i]);
  out.replace(recordAt, record.size(), record);
  Put32(out, h.directoriesAt + uint64_t{PeImage::kDebugDirectory} * 8, static_cast<uint32_t>(directoryRva));
  Put32(out, h.directoriesAt + uint64_t{PeImage::kDebugDirectory} * 8 + 4, static_cast<uint32_t>(directorySize));
}

// Room in the header page for `need` bytes, as linkers put the bound-import
// table there: past the section table, whatever a directory or a debug
// entry keeps there and any other byte written there, below the first
// section's memory. Where the headers'
// file bytes must grow, the sections' data moves by whole file-alignment
// units, and every file offset that points into it with it (the sections'
// raw data, relocations and line numbers, the COFF symbol table, the debug
// entries' records); the RVAs, and so the image's identity, stay. Gives the
// RVA (the file offset too), or a reason to refuse.
std::string PlaceInHeaders(std::string& out, const PeImage& image, const Headers& h, const FileLayout& l,
                           DebugEntries& d, uint64_t need, uint64_t& at) {
  uint64_t firstVa = image.sizeOfImage, firstRaw = l.sectionsEnd;
  for (const PeSection& s : image.sections) {
    firstVa = std::min<uint64_t>(firstVa, s.virtualAddress);
    if (s.rawSize != 0) firstRaw = std::min<uint64_t>(firstRaw, s.rawOffset);
  }
  const uint64_t tableEnd = h.sectionTable + uint64_t{kSectionHeaderSize} * image.sections.size();
  uint64_t start = std::max(tableEnd, h.directoriesAt + uint64_t{8} * image.directories.size());
  for (unsigned i = 0; i < image.directories.size(); ++i) {
    const PeDataDirectory dir = image.directories[i];
    if (i != kCertificateDirectory && dir.rva != 0 && dir.rva < firstVa)
      start = std::max<uint64_t>(start, uint64_t{dir.rva} + dir.size);
  }
  for (const std::string& e : d.entries) {
    const uint64_t size = *LeBytes(e).U32(16), pointer = *LeBytes(e).U32(24);
    if (pointer != 0 && pointer < firstRaw) start = std::max(start, pointer + size);
  }
  // Past any byte written there that no directory names (kept as it is).
  for (uint64_t i = std::min<uint64_t>(firstRaw, out.size()); i > start; --i) {
    if (out[i - 1] != '\0') {
      start = i;
      break;
    }
  }
  start = AlignUp(start, 4);
  const uint64_t headers =
      std::max<uint64_t>(LeBytes(out).U32(h.optional + 60).value_or(0), AlignUp(start + need, h.fileAlignment));
  if (firstRaw < tableEnd || headers > firstVa)
    return " and the header page has " + std::to_string(firstVa > start ? firstVa - start : 0) +
           " bytes free past the section table";
  const uint64_t shift = headers > firstRaw ? AlignUp(headers - firstRaw, std::max<uint32_t>(h.fileAlignment, 1)) : 0;
  if (out.size() + shift > UINT32_MAX) return " and the headers cannot grow past 4 GB";
  if (shift != 0) {
    out.insert(firstRaw, shift, '\0');
    const auto move = [&](std::string& bytes, uint64_t field) {
      const uint32_t offset = *LeBytes(bytes).U32(field);
      if (offset != 0 && offset >= firstRaw) Put32(bytes, field, static_cast<uint32_t>(offset + shift));
    };
    for (size_t i = 0; i < image.sections.size(); ++i) {
      for (unsigned field : {20u, 24u, 28u})  // raw data, relocations, line numbers
        move(out, h.sectionTable + uint64_t{kSectionHeaderSize} * i + field);
    }
    if (l.symbols != 0) move(out, h.fileHeader + 8);
    for (std::string& e : d.entries) move(e, 24);
  }
  Put32(out, h.optional + 60, static_cast<uint32_t>(headers));
  at = start;
  return {};
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
  FileLayout l;
  if (std::string why = LayoutOf(*image, input, h, request, l); !why.empty()) return Refuse(std::move(why));

  const std::string record = CodeViewRecord(request);
  std::string out(input.substr(0, l.fileEnd));
  if (l.certificates.size != 0) out.replace(h.directoriesAt + uint64_t{kCertificateDirectory} * 8, 8, 8, '\0');
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

  DebugEntries d = DebugEntriesOf(*image, input);
  // A CodeView record with room for the new one is overwritten where it is.
  if (d.codeView) {
    const LeBytes entry(d.entries[*d.codeView]);
    const uint64_t size = *entry.U32(16), pointer = *entry.U32(24);
    if (size >= record.size() && pointer != 0 && pointer + size <= l.sectionsEnd) {
      const uint64_t entryAt = static_cast<uint64_t>(d.old.data() - input.data()) + *d.codeView * PeImage::kDebugEntrySize;
      out.replace(pointer, size, record + std::string(size - record.size(), '\0'));
      Put32(out, entryAt + 16, static_cast<uint32_t>(record.size()));
      return finish(std::move(out));
    }
  }
  if (!d.codeView) {
    d.entries.emplace_back(PeImage::kDebugEntrySize, '\0');
    d.codeView = d.entries.size() - 1;
  }
  const uint64_t need = uint64_t{PeImage::kDebugEntrySize} * d.entries.size() + record.size();
  bool grow = false;
  const std::optional<Room> chosen = ChooseRoom(*image, l, need, grow);
  if (!chosen) {
    // No section has room: the header page.
    uint64_t at = 0;
    if (std::string why = PlaceInHeaders(out, *image, h, l, d, need, at); !why.empty())
      return Refuse("no room for a debug directory of " + std::to_string(need) +
                    " bytes: the last section fills its last page, no section has unused room" + why);
    WriteDirectory(out, *image, h, d, at, at, record);
    return finish(std::move(out));
  }

  PeSection section = image->sections[chosen->section];
  const uint64_t header = h.sectionTable + uint64_t{kSectionHeaderSize} * chosen->section;
  const uint64_t used = chosen->start + need - section.virtualAddress;
  if (grow) GrowSection(out, section, header, used, h, l);
  Put32(out, header + 8, static_cast<uint32_t>(std::max<uint64_t>(section.virtualSize, used)));
  WriteDirectory(out, *image, h, d, chosen->start, section.rawOffset + (chosen->start - section.virtualAddress), record);
  return finish(std::move(out));
}

}  // namespace qf
