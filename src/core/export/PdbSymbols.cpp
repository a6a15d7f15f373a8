#include "export/PdbSymbols.h"

#include <algorithm>
#include <stdexcept>
#include <unordered_map>

#include "base/Sha256.h"
#include "export/Msf.h"
#include "export/PdbHash.h"
#include "export/PdbStreams.h"

namespace qf {
namespace {

constexpr uint16_t kDebugSLines = 0xF2;
constexpr uint16_t kDebugSFileChecksums = 0xF4;
constexpr uint32_t kCodeSection = 0x60000020;  // code, execute, read

std::string FilePart(std::string_view path) {
  const std::size_t cut = path.find_last_of("\\/:");
  return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

// The sections addresses are numbered by, with a lookup by RVA.
class SectionTable {
 public:
  SectionTable(const SymbolMap& map, uint64_t imageBase, const PeImage* image) {
    if (image != nullptr) {
      for (const PeSection& s : image->sections) {
        sections_.push_back({s.name, s.virtualAddress, s.Span(), s.rawSize, s.rawOffset, s.characteristics});
      }
    } else {
      std::vector<CodeSegment> segments = map.CodeSegments();
      std::sort(segments.begin(), segments.end(),
                [](const CodeSegment& a, const CodeSegment& b) { return a.start < b.start; });
      for (const CodeSegment& s : segments) {
        if (s.start < imageBase || s.start - imageBase > UINT32_MAX) continue;
        const auto rva = static_cast<uint32_t>(s.start - imageBase);
        const auto size = static_cast<uint32_t>(std::min<uint64_t>(s.length, UINT32_MAX - rva));
        sections_.push_back({s.name, rva, size, 0, 0, kCodeSection});
      }
    }
    for (std::size_t i = 0; i < sections_.size(); ++i) byRva_.push_back(static_cast<uint16_t>(i));
    std::sort(byRva_.begin(), byRva_.end(),
              [&](uint16_t a, uint16_t b) { return sections_[a].rva < sections_[b].rva; });
  }

  const std::vector<PdbSection>& Sections() const { return sections_; }

  // The section (1-based) that holds rva, and the end of its span; 0 for none.
  uint16_t Find(uint64_t rva, uint64_t& end) const {
    // Runs come in address order: mostly in the section of the one before.
    if (last_ != 0) {
      const PdbSection& s = sections_[last_ - 1];
      if (rva >= s.rva && rva < uint64_t{s.rva} + s.virtualSize) {
        end = uint64_t{s.rva} + s.virtualSize;
        return last_;
      }
    }
    last_ = Search(rva, end);
    return last_;
  }

 private:
  uint16_t Search(uint64_t rva, uint64_t& end) const {
    auto it = std::upper_bound(byRva_.begin(), byRva_.end(), rva,
                               [&](uint64_t r, uint16_t s) { return r < sections_[s].rva; });
    if (it == byRva_.begin()) return 0;
    const PdbSection& s = sections_[*--it];
    end = uint64_t{s.rva} + s.virtualSize;
    return rva < end ? static_cast<uint16_t>(*it + 1) : 0;
  }

  std::vector<PdbSection> sections_;
  mutable uint16_t last_ = 0;  // the section found last
  std::vector<uint16_t> byRva_;
};

// Turns the map's runs (in address order) into modules, procedures, lines,
// contributions and publics, in two passes over the runs: the first keeps
// everything but the line subsections, of which it counts the bytes; the
// second (Writing) makes them again and hands each module's stream to the
// writer as it goes, so that the lines, most of a PDB, are never held.
class PdbBuilder {
 public:
  PdbBuilder(const SymbolMap& map, uint64_t imageBase, const SectionTable& sections, PdbStringTable& names)
      : map_(map), imageBase_(imageBase), sections_(sections), names_(names) {}

  // Starts the second pass.
  void Writing(MsfWriter& writer) {
    writer_ = &writer;
    contribution_ = {};
    proc_ = {};
    procNumber_ = 0;
    lines_ = {};
    havePublic_ = false;
  }

  void Add(const SymbolRun& run) {
    if (run.start < imageBase_) return;
    const uint64_t rva = run.start - imageBase_;
    uint64_t sectionEnd = 0;
    const uint16_t section = sections_.Find(rva, sectionEnd);
    if (section == 0) {
      FinishAll();
      return;
    }
    const uint64_t rvaEnd = std::min(run.end - imageBase_, sectionEnd);
    const uint64_t sectionStart = sections_.Sections()[section - 1].rva;
    const auto offset = static_cast<uint32_t>(rva - sectionStart);
    const auto end = static_cast<uint32_t>(rvaEnd - sectionStart);
    const uint16_t module = ModuleOf(run.unit);

    if (!(contribution_.size != 0 && contribution_.module == module && contribution_.section == section &&
          contribution_.offset + contribution_.size == offset)) {
      FinishContribution();
      contribution_ = {section, offset, 0, sections_.Sections()[section - 1].characteristics, module};
    }
    contribution_.size = end - contribution_.offset;

    const bool continues = proc_.open && run.function && proc_.module == module && proc_.section == section &&
                           proc_.end == offset && proc_.functionStart == run.functionStart &&
                           proc_.name.data() == run.function->data();  // names are held once in the map
    if (!continues) {
      FinishProc();
      if (run.function) {
        proc_ = {true, module, section, offset, offset, run.functionStart, *run.function};
        ++procNumber_;
        AddPublic(*run.function, run.functionStart);
      }
    }
    if (proc_.open) proc_.end = end;

    if (!run.line || !run.file) {
      FinishLines();
      return;
    }
    if (!(lines_.open && lines_.module == module && lines_.section == section && lines_.end == offset &&
          lines_.file == run.fileNumber && lines_.proc == procNumber_)) {
      FinishLines();
      lines_.open = true;
      lines_.module = module;
      lines_.section = section;
      lines_.start = offset;
      lines_.file = run.fileNumber;
      lines_.proc = procNumber_;
      lines_.rows.clear();
      lines_.count = 0;
    }
    // The first pass only counts the rows.
    if (lines_.count == 0 || lines_.lastLine != *run.line) {
      ++lines_.count;
      lines_.lastLine = *run.line;
      if (writer_ != nullptr) lines_.rows.emplace_back(offset, *run.line);
    }
    lines_.end = end;
  }

  void FinishAll() {
    FinishContribution();
    FinishProc();
    FinishLines();
  }

  // After the first pass: each module's file checksums.
  void FinishModules() {
    FinishAll();
    for (PdbModule& m : modules_) {
      std::string checksums;
      for (const std::string& file : m.files) {
        PdbPut32(checksums, names_.Add(file));
        PdbPut32(checksums, 0);  // no checksum, its kind none, padding
      }
      Subsection(m.checksums, kDebugSFileChecksums, checksums);
    }
  }

  // After the second pass: the streams of the modules without lines.
  void FinishStreams() {
    FinishAll();
    for (std::size_t m = 0; m < modules_.size(); ++m) {
      if (!started_[m]) StartStream(m);
      if (modules_[m].lineBytes == 0) writer_->Append(modules_[m].stream, std::string(4, '\0'));
    }
  }

  std::vector<PdbModule>& Modules() { return modules_; }
  std::vector<PdbContribution>& Contributions() { return contributions_; }
  std::vector<PdbPublic>& Publics() { return publics_; }
  std::vector<PdbProcRef>& ProcRefs() { return procRefs_; }

 private:
  struct Proc {
    bool open = false;
    uint16_t module = 0;
    uint16_t section = 0;
    uint32_t start = 0, end = 0;
    uint64_t functionStart = 0;
    std::string_view name;
  };
  struct Lines {
    bool open = false;
    uint16_t module = 0;
    uint16_t section = 0;
    uint32_t start = 0, end = 0;
    uint32_t file = 0;
    uint64_t proc = 0;
    std::size_t count = 0;  // rows
    int32_t lastLine = 0;
    std::vector<std::pair<uint32_t, int32_t>> rows;  // the second pass's
  };

  static void Subsection(std::string& out, uint32_t kind, std::string_view data) {
    PdbPut32(out, kind);
    PdbPut32(out, static_cast<uint32_t>(data.size()));
    out.append(data);
    PdbAlign4(out);
  }

  uint16_t ModuleOf(std::string_view unit) {
    // Runs of one unit come together, and its name is one view into the map.
    if (haveLast_ && unit.data() == lastUnit_.data() && unit.size() == lastUnit_.size()) return lastModule_;
    haveLast_ = true;
    lastUnit_ = unit;
    lastModule_ = FindModule(unit);
    return lastModule_;
  }

  uint16_t FindModule(std::string_view unit) {
    const auto found = moduleOf_.find(unit);
    if (found != moduleOf_.end()) return found->second;
    if (modules_.size() >= 0xFFFF - kPdbFirstModuleStream) throw std::length_error("more units than a PDB holds");
    const auto index = static_cast<uint16_t>(modules_.size());
    modules_.emplace_back();
    modules_.back().name = std::string(unit);
    modules_.back().stream = static_cast<uint16_t>(kPdbFirstModuleStream + index);
    moduleOf_.emplace(unit, index);
    fileSlots_.emplace_back();
    started_.push_back(false);
    linesWritten_.push_back(0);
    return index;
  }

  // The module's symbols and checksums go out before its first lines.
  void StartStream(std::size_t m) {
    started_[m] = true;
    PdbModule& module = modules_[m];
    writer_->Append(module.stream, module.symbols);
    writer_->Append(module.stream, module.checksums);
    module.symbols.resize(4);  // kept: the size is read no more
    module.symbols.shrink_to_fit();
  }

  void AddPublic(std::string_view name, uint64_t functionStart) {
    if (writer_ != nullptr) return;
    if (havePublic_ && lastPublic_ == functionStart) return;
    havePublic_ = true;
    lastPublic_ = functionStart;
    if (functionStart < imageBase_) return;
    uint64_t end = 0;
    const uint16_t section = sections_.Find(functionStart - imageBase_, end);
    if (section == 0) return;
    publics_.push_back({name, section,
                        static_cast<uint32_t>(functionStart - imageBase_ - sections_.Sections()[section - 1].rva)});
  }

  void FinishContribution() {
    if (contribution_.size == 0 || writer_ != nullptr) return;
    PdbModule& m = modules_[contribution_.module];
    if (m.first.size == 0) m.first = contribution_;
    contributions_.push_back(contribution_);
    contribution_ = {};
  }

  void FinishProc() {
    if (!proc_.open) return;
    proc_.open = false;
    if (writer_ != nullptr) return;
    PdbModule& m = modules_[proc_.module];
    const auto at = static_cast<uint32_t>(m.symbols.size());
    std::string body;
    PdbPut32(body, 0);  // parent
    const std::size_t endAt = body.size();
    PdbPut32(body, 0);  // end: below
    PdbPut32(body, 0);  // next
    PdbPut32(body, proc_.end - proc_.start);
    PdbPut32(body, 0);  // debug start
    PdbPut32(body, 0);  // debug end
    PdbPut32(body, 0);  // type
    PdbPut32(body, proc_.start);
    PdbPut16(body, proc_.section);
    body += '\0';  // flags
    const std::string_view name = PdbCutName(proc_.name, body.size());
    body.append(name);
    body += '\0';
    PdbAppendRecord(m.symbols, kSGProc32, body);
    const auto endRecord = static_cast<uint32_t>(m.symbols.size());
    for (int k = 0; k < 4; ++k) m.symbols[at + 4 + endAt + k] = static_cast<char>(endRecord >> (8 * k) & 0xFF);
    PdbAppendRecord(m.symbols, kSEnd, {});
    procRefs_.push_back({name, proc_.module, at});
  }

  void FinishLines() {
    if (!lines_.open) return;
    lines_.open = false;
    PdbModule& m = modules_[lines_.module];
    std::unordered_map<uint32_t, uint32_t>& slots = fileSlots_[lines_.module];
    const auto slot = slots.try_emplace(lines_.file, static_cast<uint32_t>(m.files.size()));
    if (slot.second) m.files.emplace_back(map_.SourceFiles()[lines_.file]);
    // The subsection: its kind and length, the stretch, one block of the
    // file's rows (each a statement).
    const std::size_t rows = lines_.count;
    const std::size_t bytes = 32 + 8 * rows;
    if (writer_ == nullptr) {
      m.lineBytes += bytes;
      return;
    }
    data_.resize(bytes);
    char* at = &data_[0];
    const auto put = [&at](uint32_t v, int size) {
      for (int k = 0; k < size; ++k) *at++ = static_cast<char>(v >> (8 * k) & 0xFF);
    };
    put(kDebugSLines, 4);
    put(static_cast<uint32_t>(bytes - 8), 4);
    put(lines_.start, 4);
    put(lines_.section, 2);
    put(0, 2);  // no columns
    put(lines_.end - lines_.start, 4);
    put(slot.first->second * 8, 4);  // the file's checksum entry
    put(static_cast<uint32_t>(rows), 4);
    put(static_cast<uint32_t>(12 + 8 * rows), 4);
    for (const auto& row : lines_.rows) {
      put(row.first - lines_.start, 4);
      put((static_cast<uint32_t>(row.second) & 0xFFFFFF) | 0x80000000u, 4);
    }
    const std::string& data = data_;
    if (!started_[lines_.module]) StartStream(lines_.module);
    writer_->Append(m.stream, data);
    linesWritten_[lines_.module] += data.size();
    if (linesWritten_[lines_.module] == m.lineBytes) writer_->Append(m.stream, std::string(4, '\0'));
  }

  MsfWriter* writer_ = nullptr;  // the second pass
  std::vector<bool> started_;    // per module: its stream begun
  std::vector<uint64_t> linesWritten_;
  std::string data_;
  const SymbolMap& map_;
  const uint64_t imageBase_;
  const SectionTable& sections_;
  PdbStringTable& names_;
  std::vector<PdbModule> modules_;
  std::unordered_map<std::string_view, uint16_t> moduleOf_;
  bool haveLast_ = false;
  std::string_view lastUnit_;
  uint16_t lastModule_ = 0;
  std::vector<std::unordered_map<uint32_t, uint32_t>> fileSlots_;  // per module: file number: its place
  std::vector<PdbContribution> contributions_;
  std::vector<PdbPublic> publics_;
  std::vector<PdbProcRef> procRefs_;
  PdbContribution contribution_;
  Proc proc_;
  uint64_t procNumber_ = 0;
  Lines lines_;
  bool havePublic_ = false;
  uint64_t lastPublic_ = 0;
};

uint16_t MachineOf(const SymbolMap& map, const PeImage* image) {
  if (image != nullptr && image->machine != PeImage::Machine::Other) return image->machineCode;
  return map.WideStarts() ? 0x8664 : 0x14C;
}

}  // namespace

PdbIdentity PdbIdentityOfDigest(const PeImage* image, std::string_view imageBytes,
                                const std::array<uint8_t, 32>& mapSha256, std::string_view defaultName) {
  PdbIdentity id;
  if (image != nullptr) {
    if (const std::optional<PeCodeView> codeView = ReadPeCodeView(*image, imageBytes)) {
      id.guid = codeView->guid;
      id.age = codeView->age;
      id.pdbName = FilePart(codeView->pdbName);
    }
  }
  if (id.pdbName.empty()) {
    Sha256 hash;
    const std::array<uint8_t, 32> imageDigest = [&] {
      Sha256 h;
      if (image != nullptr) h.Update(imageBytes);
      return h.Finish();
    }();
    hash.Update(std::string_view(reinterpret_cast<const char*>(imageDigest.data()), imageDigest.size()));
    hash.Update(std::string_view(reinterpret_cast<const char*>(mapSha256.data()), mapSha256.size()));
    const std::array<uint8_t, 32> digest = hash.Finish();
    std::copy_n(digest.begin(), id.guid.size(), id.guid.begin());
    id.age = 1;
    id.pdbName = FilePart(defaultName);
  }
  return id;
}

PdbIdentity PdbIdentityOf(const PeImage* image, std::string_view imageBytes, std::string_view mapBytes,
                          std::string_view defaultName) {
  Sha256 hash;
  hash.Update(mapBytes);
  return PdbIdentityOfDigest(image, imageBytes, hash.Finish(), defaultName);
}

void WritePdb(const SymbolMap& map, uint64_t imageBase, const PeImage* image, std::string_view /*imageBytes*/,
              const PdbIdentity& id, const std::function<void(std::string_view)>& write) {
  const SectionTable sections(map, imageBase, image);
  PdbStringTable names;
  PdbBuilder builder(map, imageBase, sections, names);
  map.ForEachRunInUnits([&](const SymbolRun& run) { builder.Add(run); });
  builder.FinishModules();

  // Every stream but the modules' whole, the modules' sizes.
  std::vector<PdbModule>& modules = builder.Modules();
  std::vector<std::string> streams(kPdbFirstModuleStream);
  uint32_t signature = 0;
  if (image != nullptr) {
    signature = image->timeDateStamp;
  } else {
    for (int k = 3; k >= 0; --k) signature = signature << 8 | id.guid[static_cast<std::size_t>(k)];
  }
  streams[kPdbInfo] = PdbInfoStream(id.guid, id.age, signature, {{"/LinkInfo", kPdbLinkInfo}, {"/names", kPdbNames}});
  streams[kPdbTpi] = PdbEmptyTypeStream();
  streams[kPdbIpi] = PdbEmptyTypeStream();
  {
    PdbDbiInput dbi;
    dbi.age = id.age;
    dbi.machine = MachineOf(map, image);
    dbi.modules = &modules;
    dbi.contributions = std::move(builder.Contributions());
    dbi.sections = &sections.Sections();
    streams[kPdbDbi] = PdbDbiStream(dbi);
  }
  {
    PdbGlobalSymbols globals =
        PdbGlobalStreams(std::move(builder.Publics()), builder.ProcRefs(), MachineOf(map, image) == 0x14C);
    streams[kPdbGlobals] = std::move(globals.globals);
    streams[kPdbPublics] = std::move(globals.publics);
    streams[kPdbSymbolRecords] = std::move(globals.records);
  }
  streams[kPdbSectionHeaders] = PdbSectionHeaderStream(sections.Sections());
  streams[kPdbNames] = names.Bytes();

  std::vector<uint64_t> sizes;
  for (const std::string& s : streams) sizes.push_back(s.size());
  for (const PdbModule& m : modules) sizes.push_back(m.StreamSize());
  MsfWriter writer(std::move(sizes), write);
  for (std::size_t s = 0; s < streams.size(); ++s) {
    writer.Append(static_cast<uint32_t>(s), streams[s]);
    std::string().swap(streams[s]);
  }
  builder.Writing(writer);
  map.ForEachRunInUnits([&](const SymbolRun& run) { builder.Add(run); });
  builder.FinishStreams();
  writer.Finish();
}

}  // namespace qf
