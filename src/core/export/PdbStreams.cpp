#include "export/PdbStreams.h"

#include <algorithm>
#include <unordered_map>

#include "export/PdbHash.h"

namespace qf {
namespace {

uint16_t FileCount(const PdbModule& m) { return static_cast<uint16_t>(std::min<std::size_t>(m.files.size(), 0xFFFF)); }

std::string ModuleInfos(const std::vector<PdbModule>& modules) {
  std::string out;
  LeWriter w(out);
  for (const PdbModule& mod : modules) {
    pdb::ModuleInfoHeader header;
    header.firstContribution = mod.first;
    header.stream = mod.stream;
    header.symbolBytes = static_cast<uint32_t>(mod.symbols.size());
    header.c13LineBytes = static_cast<uint32_t>(mod.checksums.size() + mod.lineBytes);
    header.sourceFiles = FileCount(mod);
    header.Put(w);
    w.CString(mod.name);
    w.CString(mod.name);  // the object file
    w.Align4();
  }
  return out;
}

std::string SectionContributions(std::vector<pdb::SectionContrib> contributions) {
  std::sort(contributions.begin(), contributions.end(), [](const pdb::SectionContrib& a, const pdb::SectionContrib& b) {
    return a.section != b.section ? a.section < b.section : a.offset < b.offset;
  });
  std::string out;
  LeWriter w(out);
  w.U32(pdb::kSectionContributionsV60);
  for (const pdb::SectionContrib& c : contributions) c.Put(w);
  return out;
}

std::string SectionMap(const std::vector<PdbSection>& sections) {
  std::string out;
  LeWriter w(out);
  const auto count = static_cast<uint16_t>(sections.size() + 1);
  pdb::SectionMapHeader{count, count}.Put(w);
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const uint32_t c = sections[i].characteristics;
    pdb::SectionMapEntry entry;
    entry.flags = pdb::kSegAddressIs32Bit | pdb::kSegIsSelector;
    if (c & pdb::kScnMemRead) entry.flags |= pdb::kSegRead;
    if (c & pdb::kScnMemWrite) entry.flags |= pdb::kSegWrite;
    if (c & pdb::kScnMemExecute) entry.flags |= pdb::kSegExecute;
    entry.frame = static_cast<uint16_t>(i + 1);
    entry.length = sections[i].virtualSize;
    entry.Put(w);
  }
  pdb::SectionMapEntry absolute;  // the absolute addresses
  absolute.flags = pdb::kSegAddressIs32Bit | pdb::kSegIsAbsoluteAddress;
  absolute.frame = count;
  absolute.length = 0xFFFFFFFF;
  absolute.Put(w);
  return out;
}

// The source info substream: the modules' file counts and starts, then each
// file's name offset into the names that follow.
std::string FileInfo(const std::vector<PdbModule>& modules) {
  std::string names;
  std::unordered_map<std::string, uint32_t> offsetOf;
  std::string out;
  LeWriter w(out);
  w.U16(static_cast<uint16_t>(modules.size()));
  std::size_t total = 0;
  for (const PdbModule& m : modules) total += FileCount(m);
  w.U16(static_cast<uint16_t>(total));
  std::size_t first = 0;
  for (const PdbModule& m : modules) {
    w.U16(static_cast<uint16_t>(first));
    first += FileCount(m);
  }
  for (const PdbModule& m : modules) w.U16(FileCount(m));
  for (const PdbModule& m : modules) {
    for (std::size_t f = 0; f < m.files.size() && f < 0xFFFF; ++f) {
      const auto found = offsetOf.emplace(m.files[f], static_cast<uint32_t>(names.size()));
      if (found.second) LeWriter(names).CString(m.files[f]);
      w.U32(found.first->second);
    }
  }
  w.Bytes(names).Align4();
  return out;
}

// The names of edit-and-continue: an empty string table.
std::string EmptyStringTable() { return PdbStringTable().Bytes(); }

}  // namespace

std::string_view PdbCutName(std::string_view name, std::size_t fixedBytes) {
  const std::size_t room = pdb::kMaxRecordBody - fixedBytes - 1;
  return name.size() > room ? name.substr(0, room) : name;
}

void PdbAppendRecord(std::string& out, uint16_t kind, std::string_view body) {
  const std::size_t whole = pdb::RecordHeader::RecordBytes(body.size());
  LeWriter w(out);
  pdb::RecordHeader{static_cast<uint16_t>(whole - 2), kind}.Put(w);
  w.Bytes(body).Zeros(whole - pdb::RecordHeader::kSize - body.size());
}

std::string PdbInfoStream(const std::array<uint8_t, 16>& guid, uint32_t age, uint32_t signature,
                          const std::vector<std::pair<std::string, uint32_t>>& namedStreams) {
  std::string out;
  LeWriter w(out);
  pdb::InfoStreamHeader header;
  header.signature = signature;
  header.age = age;
  header.guid = guid;
  header.Put(w);
  w.Bytes(PdbNamedStreamMap(namedStreams));
  w.U32(pdb::kFeatureVC140);
  return out;
}

std::string PdbEmptyTypeStream() {
  std::string out;
  LeWriter w(out);
  pdb::TpiStreamHeader().Put(w);
  return out;
}

std::string PdbDbiStream(const PdbDbiInput& input) {
  const std::string modules = ModuleInfos(*input.modules);
  const std::string contributions = SectionContributions(input.contributions);
  const std::string sectionMap = SectionMap(*input.sections);
  const std::string files = FileInfo(*input.modules);
  const std::string ecNames = EmptyStringTable();
  std::string debugStreams;
  {
    pdb::DbiDebugStreams debug;
    debug.sectionHeaders = kPdbSectionHeaders;
    debug.newFpo = input.frameDataStream;
    LeWriter w(debugStreams);
    debug.Put(w);
  }

  pdb::DbiStreamHeader header;
  header.age = input.age;
  header.globalsStream = kPdbGlobals;
  header.publicsStream = kPdbPublics;
  header.symbolRecordStream = kPdbSymbolRecords;
  header.moduleInfoBytes = static_cast<uint32_t>(modules.size());
  header.sectionContributionBytes = static_cast<uint32_t>(contributions.size());
  header.sectionMapBytes = static_cast<uint32_t>(sectionMap.size());
  header.sourceInfoBytes = static_cast<uint32_t>(files.size());
  header.optionalDebugHeaderBytes = static_cast<uint32_t>(debugStreams.size());
  header.ecSubstreamBytes = static_cast<uint32_t>(ecNames.size());
  header.machine = input.machine;

  std::string out;
  LeWriter w(out);
  header.Put(w);
  w.Bytes(modules).Bytes(contributions).Bytes(sectionMap).Bytes(files).Bytes(ecNames).Bytes(debugStreams);
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
  static_assert(pdb::PublicSym::kSize == pdb::ProcRefSym::kSize, "one fixed part for both");
  constexpr std::size_t kFixed = pdb::PublicSym::kSize;
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
    LeWriter w(body);
    pdb::PublicSym sym;
    sym.offset = p.offset;
    sym.segment = p.section;
    sym.Put(w);
    if (decorate && !(!p.name.empty() && p.name[0] == '?')) body += '_';
    w.Bytes(PdbCutName(p.name, body.size()));
    publicRecords.push_back({static_cast<uint32_t>(out.records.size()), static_cast<uint32_t>(body.size() - kFixed)});
    body += '\0';
    PdbAppendRecord(out.records, pdb::kSPub32, body);
  }
  for (const PdbProcRef& r : procRefs) {
    body.clear();
    LeWriter w(body);
    pdb::ProcRefSym sym;
    sym.symbolOffset = r.symbolOffset;
    sym.module = static_cast<uint16_t>(r.module + 1);
    sym.Put(w);
    w.Bytes(PdbCutName(r.name, body.size()));
    globalRecords.push_back({static_cast<uint32_t>(out.records.size()), static_cast<uint32_t>(body.size() - kFixed)});
    body += '\0';
    PdbAppendRecord(out.records, pdb::kSProcRef, body);
  }
  const auto entries = [&](const std::vector<Named>& named) {
    std::vector<GsiEntry> list;
    list.reserve(named.size());
    for (const Named& n : named) {
      list.push_back({std::string_view(out.records).substr(n.offset + pdb::RecordHeader::kSize + kFixed, n.nameLength),
                      n.offset});
    }
    return list;
  };
  std::vector<uint32_t> publicOffsets;
  publicOffsets.reserve(publicRecords.size());
  for (const Named& n : publicRecords) publicOffsets.push_back(n.offset);
  std::vector<GsiEntry> publicEntries = entries(publicRecords);
  std::vector<GsiEntry> globalEntries = entries(globalRecords);
  out.globals = GsiHashTable(std::move(globalEntries));

  // The address map: the public records by section, offset and name; of
  // several at one address, the first of the map last, as readers that look
  // a public up by address take the last there (and so answer as the map).
  std::vector<uint32_t> byAddress(publics.size());
  for (std::size_t i = 0; i < byAddress.size(); ++i) byAddress[i] = static_cast<uint32_t>(i);
  std::stable_sort(byAddress.begin(), byAddress.end(), [&](uint32_t a, uint32_t b) {
    const PdbPublic& x = publics[a];
    const PdbPublic& y = publics[b];
    if (x.section != y.section) return x.section < y.section;
    return x.offset != y.offset ? x.offset < y.offset : x.alias > y.alias;
  });
  const std::string hash = GsiHashTable(std::move(publicEntries));
  LeWriter w(out.publics);
  pdb::PublicsStreamHeader header;
  header.hashBytes = static_cast<uint32_t>(hash.size());
  header.addressMapBytes = static_cast<uint32_t>(byAddress.size() * 4);
  header.Put(w);
  w.Bytes(hash);
  for (const uint32_t i : byAddress) w.U32(publicOffsets[i]);
  return out;
}

std::string PdbSectionHeaderStream(const std::vector<PdbSection>& sections) {
  std::string out;
  LeWriter w(out);
  for (const PdbSection& s : sections) {
    pdb::ImageSectionHeader header;
    std::copy_n(s.name.begin(), std::min<std::size_t>(s.name.size(), header.name.size()), header.name.begin());
    header.virtualSize = s.virtualSize;
    header.virtualAddress = s.rva;
    header.rawSize = s.rawSize;
    header.rawPointer = s.rawOffset;
    header.characteristics = s.characteristics;
    header.Put(w);
  }
  return out;
}

}  // namespace qf
