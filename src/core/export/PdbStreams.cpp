#include "export/PdbStreams.h"

#include <algorithm>
#include <unordered_map>

#include "export/PdbHash.h"

namespace qf {
namespace {

constexpr uint32_t kMaxRecordBody = 0xFF00;  // what one record may hold after its kind

void PutContribution(std::string& out, const PdbContribution& c) {
  PdbPut16(out, c.section);
  PdbPut16(out, 0);
  PdbPut32(out, c.offset);
  PdbPut32(out, c.size);
  PdbPut32(out, c.characteristics);
  PdbPut16(out, c.module);
  PdbPut16(out, 0);
  PdbPut32(out, 0);  // data CRC
  PdbPut32(out, 0);  // relocation CRC
}

void PutName(std::string& out, std::string_view name) {
  out.append(name);
  out += '\0';
}

std::string ModuleInfos(const std::vector<PdbModule>& modules) {
  std::string out;
  for (std::size_t m = 0; m < modules.size(); ++m) {
    const PdbModule& mod = modules[m];
    PdbPut32(out, 0);
    PutContribution(out, mod.first);
    PdbPut16(out, 0);  // flags
    PdbPut16(out, mod.stream);
    PdbPut32(out, static_cast<uint32_t>(mod.symbols.size()));
    PdbPut32(out, 0);  // old-style lines
    PdbPut32(out, static_cast<uint32_t>(mod.checksums.size() + mod.lineBytes));
    PdbPut16(out, static_cast<uint16_t>(std::min<std::size_t>(mod.files.size(), 0xFFFF)));
    PdbPut16(out, 0);
    PdbPut32(out, 0);
    PdbPut32(out, 0);  // source file name index
    PdbPut32(out, 0);  // PDB path name index
    PutName(out, mod.name);
    PutName(out, mod.name);  // the object file
    PdbAlign4(out);
  }
  return out;
}

std::string SectionContributions(std::vector<PdbContribution> contributions) {
  std::sort(contributions.begin(), contributions.end(), [](const PdbContribution& a, const PdbContribution& b) {
    return a.section != b.section ? a.section < b.section : a.offset < b.offset;
  });
  std::string out;
  PdbPut32(out, 0xEFFE0000 + 19970605);  // version 6.0
  for (const PdbContribution& c : contributions) PutContribution(out, c);
  return out;
}

std::string SectionMap(const std::vector<PdbSection>& sections) {
  std::string out;
  const auto count = static_cast<uint16_t>(sections.size() + 1);
  PdbPut16(out, count);
  PdbPut16(out, count);
  const auto entry = [&](uint16_t flags, uint16_t frame, uint32_t length) {
    PdbPut16(out, flags);
    PdbPut16(out, 0);       // overlay
    PdbPut16(out, 0);       // group
    PdbPut16(out, frame);   // the section's number
    PdbPut16(out, 0xFFFF);  // section name
    PdbPut16(out, 0xFFFF);  // class name
    PdbPut32(out, 0);       // offset
    PdbPut32(out, length);
  };
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const uint32_t c = sections[i].characteristics;
    uint16_t flags = 0x8 | 0x100;  // 32-bit address, a selector
    if (c & 0x40000000) flags |= 0x1;  // read
    if (c & 0x80000000) flags |= 0x2;  // write
    if (c & 0x20000000) flags |= 0x4;  // execute
    entry(flags, static_cast<uint16_t>(i + 1), sections[i].virtualSize);
  }
  entry(0x8 | 0x200, count, 0xFFFFFFFF);  // the absolute addresses
  return out;
}

std::string FileInfo(const std::vector<PdbModule>& modules) {
  std::string names;
  std::unordered_map<std::string, uint32_t> offsetOf;
  std::string out;
  PdbPut16(out, static_cast<uint16_t>(modules.size()));
  std::size_t total = 0;
  for (const PdbModule& m : modules) total += std::min<std::size_t>(m.files.size(), 0xFFFF);
  PdbPut16(out, static_cast<uint16_t>(total));
  std::size_t first = 0;
  for (const PdbModule& m : modules) {
    PdbPut16(out, static_cast<uint16_t>(first));
    first += std::min<std::size_t>(m.files.size(), 0xFFFF);
  }
  for (const PdbModule& m : modules) PdbPut16(out, static_cast<uint16_t>(std::min<std::size_t>(m.files.size(), 0xFFFF)));
  for (const PdbModule& m : modules) {
    for (std::size_t f = 0; f < m.files.size() && f < 0xFFFF; ++f) {
      const auto found = offsetOf.emplace(m.files[f], static_cast<uint32_t>(names.size()));
      if (found.second) PutName(names, m.files[f]);
      PdbPut32(out, found.first->second);
    }
  }
  out += names;
  PdbAlign4(out);
  return out;
}

// The names of edit-and-continue: an empty string table.
std::string EmptyStringTable() { return PdbStringTable().Bytes(); }

}  // namespace

void PdbPut16(std::string& out, uint16_t v) {
  const char bytes[2] = {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
  out.append(bytes, 2);
}

void PdbPut32(std::string& out, uint32_t v) {
  const char bytes[4] = {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8 & 0xFF),
                         static_cast<char>(v >> 16 & 0xFF), static_cast<char>(v >> 24)};
  out.append(bytes, 4);
}

void PdbAlign4(std::string& out) { out.append((4 - out.size() % 4) % 4, '\0'); }

std::string_view PdbCutName(std::string_view name, std::size_t fixedBytes) {
  const std::size_t room = kMaxRecordBody - fixedBytes - 1;
  return name.size() > room ? name.substr(0, room) : name;
}

void PdbAppendRecord(std::string& out, uint16_t kind, std::string_view body) {
  // The length field (2), the kind (2) and the body: the whole a multiple of 4.
  const std::size_t whole = (4 + body.size() + 3) / 4 * 4;
  PdbPut16(out, static_cast<uint16_t>(whole - 2));
  PdbPut16(out, kind);
  out.append(body);
  out.append(whole - 4 - body.size(), '\0');
}

std::string PdbInfoStream(const std::array<uint8_t, 16>& guid, uint32_t age, uint32_t signature,
                          const std::vector<std::pair<std::string, uint32_t>>& namedStreams) {
  std::string out;
  PdbPut32(out, 20000404);  // VC70
  PdbPut32(out, signature);
  PdbPut32(out, age);
  out.append(reinterpret_cast<const char*>(guid.data()), guid.size());
  out += PdbNamedStreamMap(namedStreams);
  PdbPut32(out, 20140508);  // feature: VC140 (the IPI stream is there)
  return out;
}

std::string PdbEmptyTypeStream() {
  std::string out;
  PdbPut32(out, 20040203);  // V80
  PdbPut32(out, 56);        // header size
  PdbPut32(out, 0x1000);    // first type index
  PdbPut32(out, 0x1000);    // end of type indexes: none
  PdbPut32(out, 0);         // record bytes
  PdbPut16(out, 0xFFFF);    // no hash stream
  PdbPut16(out, 0xFFFF);
  PdbPut32(out, 4);         // hash key size
  PdbPut32(out, 0x3FFFF);   // hash buckets
  for (int i = 0; i < 6; ++i) PdbPut32(out, 0);  // hash values, index offsets, adjusters
  return out;
}

std::string PdbDbiStream(const PdbDbiInput& input) {
  const std::string modules = ModuleInfos(*input.modules);
  const std::string contributions = SectionContributions(input.contributions);
  const std::string sectionMap = SectionMap(*input.sections);
  const std::string files = FileInfo(*input.modules);
  const std::string ecNames = EmptyStringTable();
  std::string debugHeader;
  for (int i = 0; i < 11; ++i) PdbPut16(debugHeader, i == 5 ? kPdbSectionHeaders : 0xFFFF);

  std::string out;
  PdbPut32(out, 0xFFFFFFFF);  // signature
  PdbPut32(out, 19990903);    // V70
  PdbPut32(out, input.age);
  PdbPut16(out, kPdbGlobals);
  PdbPut16(out, 0x8000 | 14 << 8);  // toolset 14.0, new version format
  PdbPut16(out, kPdbPublics);
  PdbPut16(out, 0);  // mspdb version
  PdbPut16(out, kPdbSymbolRecords);
  PdbPut16(out, 0);
  PdbPut32(out, static_cast<uint32_t>(modules.size()));
  PdbPut32(out, static_cast<uint32_t>(contributions.size()));
  PdbPut32(out, static_cast<uint32_t>(sectionMap.size()));
  PdbPut32(out, static_cast<uint32_t>(files.size()));
  PdbPut32(out, 0);  // type server map
  PdbPut32(out, 0);  // MFC type server
  PdbPut32(out, static_cast<uint32_t>(debugHeader.size()));
  PdbPut32(out, static_cast<uint32_t>(ecNames.size()));
  PdbPut16(out, 0);  // flags
  PdbPut16(out, input.machine);
  PdbPut32(out, 0);
  out += modules;
  out += contributions;
  out += sectionMap;
  out += files;
  out += ecNames;
  out += debugHeader;
  return out;
}

PdbGlobalSymbols PdbGlobalStreams(std::vector<PdbPublic> publics, const std::vector<PdbProcRef>& procRefs,
                                  bool decorate) {
  PdbGlobalSymbols out;
  std::sort(publics.begin(), publics.end(), [](const PdbPublic& a, const PdbPublic& b) {
    return a.name != b.name ? a.name < b.name : (a.section != b.section ? a.section < b.section : a.offset < b.offset);
  });
  // Both kinds of record hold 10 bytes before the name; the names are read
  // back from the records once all are written.
  constexpr std::size_t kFixed = 10;
  struct Named {
    uint32_t offset;
    uint32_t nameLength;
  };
  std::vector<Named> publicRecords, globalRecords;
  publicRecords.reserve(publics.size());
  globalRecords.reserve(procRefs.size());
  std::string body;
  for (const PdbPublic& p : publics) {
    body.clear();
    PdbPut32(body, 2);  // a function
    PdbPut32(body, p.offset);
    PdbPut16(body, p.section);
    if (decorate && !(!p.name.empty() && p.name[0] == '?')) body += '_';
    body.append(PdbCutName(p.name, body.size()));
    publicRecords.push_back({static_cast<uint32_t>(out.records.size()), static_cast<uint32_t>(body.size() - kFixed)});
    body += '\0';
    PdbAppendRecord(out.records, kSPub32, body);
  }
  for (const PdbProcRef& r : procRefs) {
    body.clear();
    PdbPut32(body, 0);  // checksum of the name: unused
    PdbPut32(body, r.symbolOffset);
    PdbPut16(body, static_cast<uint16_t>(r.module + 1));
    body.append(PdbCutName(r.name, body.size()));
    globalRecords.push_back({static_cast<uint32_t>(out.records.size()), static_cast<uint32_t>(body.size() - kFixed)});
    body += '\0';
    PdbAppendRecord(out.records, kSProcRef, body);
  }
  const auto entries = [&](const std::vector<Named>& named) {
    std::vector<GsiEntry> list;
    list.reserve(named.size());
    for (const Named& n : named) list.push_back({std::string_view(out.records).substr(n.offset + 4 + kFixed, n.nameLength), n.offset});
    return list;
  };
  std::vector<uint32_t> publicOffsets;
  publicOffsets.reserve(publicRecords.size());
  for (const Named& n : publicRecords) publicOffsets.push_back(n.offset);
  std::vector<GsiEntry> publicEntries = entries(publicRecords);
  std::vector<GsiEntry> globalEntries = entries(globalRecords);
  out.globals = GsiHashTable(std::move(globalEntries));

  // The address map: the public records by section, offset and name.
  std::vector<uint32_t> byAddress(publics.size());
  for (std::size_t i = 0; i < byAddress.size(); ++i) byAddress[i] = static_cast<uint32_t>(i);
  std::stable_sort(byAddress.begin(), byAddress.end(), [&](uint32_t a, uint32_t b) {
    const PdbPublic& x = publics[a];
    const PdbPublic& y = publics[b];
    return x.section != y.section ? x.section < y.section : x.offset < y.offset;
  });
  const std::string hash = GsiHashTable(std::move(publicEntries));
  std::string& p = out.publics;
  PdbPut32(p, static_cast<uint32_t>(hash.size()));
  PdbPut32(p, static_cast<uint32_t>(byAddress.size() * 4));
  PdbPut32(p, 0);  // thunks
  PdbPut32(p, 0);  // thunk size
  PdbPut16(p, 0);  // thunk table section
  PdbPut16(p, 0);
  PdbPut32(p, 0);  // thunk table offset
  PdbPut32(p, 0);  // sections
  p += hash;
  for (const uint32_t i : byAddress) PdbPut32(p, publicOffsets[i]);
  return out;
}

std::string PdbSectionHeaderStream(const std::vector<PdbSection>& sections) {
  std::string out;
  for (const PdbSection& s : sections) {
    std::string name = s.name.substr(0, 8);
    name.resize(8, '\0');
    out += name;
    PdbPut32(out, s.virtualSize);
    PdbPut32(out, s.rva);
    PdbPut32(out, s.rawSize);
    PdbPut32(out, s.rawOffset);
    PdbPut32(out, 0);  // relocations
    PdbPut32(out, 0);  // line numbers
    PdbPut16(out, 0);
    PdbPut16(out, 0);
    PdbPut32(out, s.characteristics);
  }
  return out;
}

}  // namespace qf
