#include "export/PdbModuleStreams.h"

#include <algorithm>
#include <stdexcept>
#include <unordered_map>

#include "names/Demangle.h"

namespace qf {
namespace {

// Turns the runs into modules, contributions, procedures, publics and line
// blocks: each made whole from the runs that continue it, and told to the
// sink when a run does not.
class RunWalk {
 public:
  RunWalk(uint64_t imageBase, const PdbSectionTable& sections, PdbRunSink& sink)
      : imageBase_(imageBase), sections_(sections), sink_(sink) {}

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
    const uint64_t sectionStart = sections_.Section(section).rva;
    const auto offset = static_cast<uint32_t>(rva - sectionStart);
    const auto end = static_cast<uint32_t>(rvaEnd - sectionStart);
    const uint16_t module = ModuleOf(run.unit);

    if (!(contribution_.size != 0 && contribution_.module == module && contribution_.section == section &&
          contribution_.offset + contribution_.size == offset)) {
      FinishContribution();
      contribution_ = {section, offset, 0, sections_.Section(section).characteristics, module};
    }
    contribution_.size = end - contribution_.offset;

    const bool continues = proc_.open && run.function && proc_.span.module == module &&
                           proc_.span.section == section && proc_.span.end == offset &&
                           proc_.functionStart == run.functionStart &&
                           proc_.span.name.data() == run.function->data();  // names are held once in the map
    if (!continues) {
      FinishProc();
      if (run.function) {
        proc_ = {true, {module, section, offset, offset, *run.function}, run.functionStart};
        ++procNumber_;
      }
    }
    if (proc_.open) proc_.span.end = end;

    if (!run.line || !run.file) {
      FinishLines();
      return;
    }
    if (!(lines_.open && lines_.block.module == module && lines_.block.section == section &&
          lines_.block.end == offset && lines_.block.file == run.fileNumber && lines_.proc == procNumber_)) {
      FinishLines();
      lines_.open = true;
      lines_.block = {module, section, offset, offset, run.fileNumber, &rows_};
      lines_.proc = procNumber_;
      rows_.clear();
    }
    if (rows_.empty() || rows_.back().second != *run.line) rows_.emplace_back(offset, *run.line);
    lines_.block.end = end;
  }

  void FinishAll() {
    FinishContribution();
    FinishProc();
    FinishLines();
  }

 private:
  struct Proc {
    bool open = false;
    PdbProcSpan span;
    uint64_t functionStart = 0;
  };
  struct Lines {
    bool open = false;
    PdbLineBlock block{};
    uint64_t proc = 0;  // the procedure's number
  };

  uint16_t ModuleOf(std::string_view unit) {
    // Runs of one unit come together, and its name is one view into the map.
    if (haveLast_ && unit.data() == lastUnit_.data() && unit.size() == lastUnit_.size()) return lastModule_;
    haveLast_ = true;
    lastUnit_ = unit;
    const auto found = moduleOf_.find(unit);
    if (found != moduleOf_.end()) {
      lastModule_ = found->second;
      return lastModule_;
    }
    if (moduleOf_.size() >= 0xFFFF - kPdbFirstModuleStream) throw std::length_error("more units than a PDB holds");
    lastModule_ = static_cast<uint16_t>(moduleOf_.size());
    moduleOf_.emplace(unit, lastModule_);
    sink_.Module(unit);
    return lastModule_;
  }

  void FinishContribution() {
    if (contribution_.size == 0) return;
    sink_.Contribution(contribution_);
    contribution_ = {};
  }

  void FinishProc() {
    if (!proc_.open) return;
    proc_.open = false;
    sink_.Procedure(proc_.span);
  }

  void FinishLines() {
    if (!lines_.open) return;
    lines_.open = false;
    sink_.Lines(lines_.block);
  }

  const uint64_t imageBase_;
  const PdbSectionTable& sections_;
  PdbRunSink& sink_;
  std::unordered_map<std::string_view, uint16_t> moduleOf_;
  bool haveLast_ = false;
  std::string_view lastUnit_;
  uint16_t lastModule_ = 0;
  pdb::SectionContrib contribution_;
  Proc proc_;
  uint64_t procNumber_ = 0;
  Lines lines_;
  std::vector<std::pair<uint32_t, int32_t>> rows_;  // the open block's
};

// A module stream's end: its list of global references, empty.
constexpr char kNoGlobalRefs[PdbModule::kGlobalRefsBytes] = {};

}  // namespace

void WalkPdbModules(const SymbolMap& map, uint64_t imageBase, const PdbSectionTable& sections, PdbRunSink& sink) {
  RunWalk walk(imageBase, sections, sink);
  map.ForEachRunInUnits([&](const SymbolRun& run) { walk.Add(run); });
  walk.FinishAll();
  // Every code public, those that share an address with another included
  // (a procedure is one per address; a name may be any of them).
  bool any = false;
  uint64_t last = 0;
  map.ForEachCodePublic([&](uint64_t address, std::string_view name, uint64_t) {
    const bool alias = any && address == last;
    any = true;
    last = address;
    if (address < imageBase) return;
    uint64_t end = 0;
    const uint16_t section = sections.Find(address - imageBase, end);
    if (section == 0) return;
    sink.Public({name, section, static_cast<uint32_t>(address - imageBase - sections.Section(section).rva), alias});
  });
}

std::size_t PdbModulePlan::LineSubsectionBytes(std::size_t rows) {
  return pdb::DebugSubsectionHeader::kSize + pdb::LineFragmentHeader::kSize + pdb::LineBlockHeader::kSize +
         pdb::LineNumberEntry::kSize * rows;
}

void PdbModulePlan::Module(std::string_view unit) {
  const auto index = static_cast<uint16_t>(modules_.size());
  modules_.emplace_back();
  PdbModule& m = modules_.back();
  m.name = std::string(unit);
  m.stream = static_cast<uint16_t>(kPdbFirstModuleStream + index);
  LeWriter(m.symbols).U32(pdb::kCvSignatureC13);
}

void PdbModulePlan::Contribution(const pdb::SectionContrib& contribution) {
  PdbModule& m = modules_[contribution.module];
  if (m.first.size == 0) m.first = contribution;
  contributions_.push_back(contribution);
}

void PdbModulePlan::Procedure(const PdbProcSpan& proc) {
  PdbModule& m = modules_[proc.module];
  const auto at = static_cast<uint32_t>(m.symbols.size());
  std::string_view name = proc.name;
  if (demangle_ && LooksMangled(name)) {
    std::string readable = DemangleName(name);
    if (readable != name) name = demangled_.emplace_back(std::move(readable));
  }
  name = PdbCutName(name, pdb::ProcSym::kSize);
  pdb::ProcSym sym;
  sym.end = at + static_cast<uint32_t>(pdb::RecordHeader::RecordBytes(pdb::ProcSym::kSize + name.size() + 1));
  sym.codeSize = proc.end - proc.start;
  sym.codeOffset = proc.start;
  sym.segment = proc.section;
  body_.clear();
  LeWriter w(body_);
  sym.Put(w);
  w.CString(name);
  PdbAppendRecord(m.symbols, pdb::kSGProc32, body_);
  PdbAppendRecord(m.symbols, pdb::kSEnd, {});
  procRefs_.push_back({name, proc.module, at});
}

void PdbModulePlan::Lines(const PdbLineBlock& block) {
  PdbModule& m = modules_[block.module];
  if (m.fileSlots.try_emplace(block.file, static_cast<uint32_t>(m.files.size())).second) {
    m.files.emplace_back(map_.SourceFiles()[block.file]);
  }
  m.lineBytes += LineSubsectionBytes(block.rows->size());
}

void PdbModulePlan::Finish(PdbStringTable& names) {
  for (PdbModule& m : modules_) {
    LeWriter w(m.checksums);
    pdb::DebugSubsectionHeader header;
    header.kind = pdb::kDebugSFileChecksums;
    header.length = static_cast<uint32_t>(m.files.size() * pdb::FileChecksumEntry::kSize);
    header.Put(w);
    for (const std::string& file : m.files) pdb::FileChecksumEntry{names.Add(file)}.Put(w);
  }
}

PdbModuleStreamWriter::PdbModuleStreamWriter(PdbModulePlan& plan, MsfWriter& writer)
    : modules_(plan.Modules()), writer_(writer) {
  started_.assign(modules_.size(), false);
  linesWritten_.assign(modules_.size(), 0);
}

void PdbModuleStreamWriter::Lines(const PdbLineBlock& block) {
  PdbModule& m = modules_[block.module];
  const std::vector<std::pair<uint32_t, int32_t>>& rows = *block.rows;
  const std::size_t bytes = PdbModulePlan::LineSubsectionBytes(rows.size());
  data_.clear();
  LeWriter w(data_);
  w.Room(bytes);
  pdb::DebugSubsectionHeader header;
  header.kind = pdb::kDebugSLines;
  header.length = static_cast<uint32_t>(bytes - pdb::DebugSubsectionHeader::kSize);
  header.Put(w);
  pdb::LineFragmentHeader fragment;
  fragment.relocationOffset = block.start;
  fragment.relocationSegment = block.section;
  fragment.codeSize = block.end - block.start;
  fragment.Put(w);
  pdb::LineBlockHeader lines;
  lines.fileChecksumOffset = m.fileSlots.find(block.file)->second * pdb::FileChecksumEntry::kSize;
  lines.lines = static_cast<uint32_t>(rows.size());
  lines.blockBytes = static_cast<uint32_t>(pdb::LineBlockHeader::kSize + pdb::LineNumberEntry::kSize * rows.size());
  lines.Put(w);
  for (const auto& row : rows) pdb::LineNumberEntry{row.first - block.start, static_cast<uint32_t>(row.second)}.Put(w);

  if (!started_[block.module]) StartStream(block.module);
  writer_.Append(m.stream, data_);
  linesWritten_[block.module] += data_.size();
  if (linesWritten_[block.module] == m.lineBytes) EndStream(block.module);
}

void PdbModuleStreamWriter::Finish() {
  for (std::size_t m = 0; m < modules_.size(); ++m) {
    if (!started_[m]) StartStream(m);
    if (modules_[m].lineBytes == 0) EndStream(m);
  }
}

void PdbModuleStreamWriter::StartStream(std::size_t module) {
  started_[module] = true;
  PdbModule& m = modules_[module];
  writer_.Append(m.stream, m.symbols);
  writer_.Append(m.stream, m.checksums);
  m.symbols.resize(4);  // kept: the size is read no more
  m.symbols.shrink_to_fit();
}

void PdbModuleStreamWriter::EndStream(std::size_t module) {
  writer_.Append(modules_[module].stream, std::string_view(kNoGlobalRefs, sizeof kNoGlobalRefs));
}

}  // namespace qf
