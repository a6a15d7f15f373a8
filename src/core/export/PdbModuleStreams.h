// The modules of a program database, made from the map's runs, and their
// streams. The runs (in address order, unit by unit) are walked twice, and
// both walks tell the same events to a sink: the first to the plan, which
// keeps the modules, their procedures, the section contributions and the
// publics, and counts the bytes of each module's line subsections; the
// second to the stream writer, which makes the line subsections again and
// writes each module's stream as it goes, so that the lines, most of a PDB,
// are never held.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "export/Msf.h"
#include "export/PdbHash.h"
#include "export/PdbSectionTable.h"
#include "export/PdbStreams.h"
#include "map/SymbolMap.h"

namespace qf {

// A procedure: a function's stretch of code in one module and section.
struct PdbProcSpan {
  uint16_t module = 0;
  uint16_t section = 0;
  uint32_t start = 0, end = 0;  // offsets in the section
  std::string_view name;
};

// A block of line rows of one file in one procedure's stretch.
struct PdbLineBlock {
  uint16_t module = 0;
  uint16_t section = 0;
  uint32_t start = 0, end = 0;                            // offsets in the section
  uint32_t file = 0;                                      // the map's file number
  const std::vector<std::pair<uint32_t, int32_t>>* rows;  // offset, line: each a statement
};

// What a walk of the runs finds, in the order it finds it.
class PdbRunSink {
 public:
  virtual ~PdbRunSink() = default;
  // A unit seen first: the next module, numbered from 0.
  virtual void Module(std::string_view unit) = 0;
  virtual void Contribution(const pdb::SectionContrib& contribution) = 0;
  virtual void Procedure(const PdbProcSpan& proc) = 0;
  // Each code public of the map, after the runs.
  virtual void Public(const PdbPublic& symbol) = 0;
  virtual void Lines(const PdbLineBlock& block) = 0;
};

// Walks the map's runs into the sink. Throws std::length_error when the
// units are more than a PDB holds modules.
void WalkPdbModules(const SymbolMap& map, uint64_t imageBase, const PdbSectionTable& sections, PdbRunSink& sink);

// The first walk's sink: every module's stream but its lines, and the sizes.
class PdbModulePlan final : public PdbRunSink {
 public:
  // demangle: the procedures take the readable names of mangled ones.
  PdbModulePlan(const SymbolMap& map, bool demangle) : map_(map), demangle_(demangle) {}

  void Module(std::string_view unit) override;
  void Contribution(const pdb::SectionContrib& contribution) override;
  void Procedure(const PdbProcSpan& proc) override;
  void Public(const PdbPublic& symbol) override { publics_.push_back(symbol); }
  void Lines(const PdbLineBlock& block) override;

  // After the walk: each module's file checksums, naming the files in names.
  void Finish(PdbStringTable& names);

  std::vector<PdbModule>& Modules() { return modules_; }
  std::vector<pdb::SectionContrib>& Contributions() { return contributions_; }
  std::vector<PdbPublic>& Publics() { return publics_; }
  const std::vector<PdbProcRef>& ProcRefs() const { return procRefs_; }

  // The bytes of a line subsection of that many rows.
  static std::size_t LineSubsectionBytes(std::size_t rows);

 private:
  const SymbolMap& map_;
  const bool demangle_;
  std::deque<std::string> demangled_;  // the procedures' readable names, where they differ
  std::vector<PdbModule> modules_;
  std::vector<pdb::SectionContrib> contributions_;
  std::vector<PdbPublic> publics_;
  std::vector<PdbProcRef> procRefs_;
  std::string body_;
};

// The second walk's sink: the modules' streams into the MSF writer, each
// module's symbols and checksums before its first lines.
class PdbModuleStreamWriter final : public PdbRunSink {
 public:
  PdbModuleStreamWriter(PdbModulePlan& plan, MsfWriter& writer);

  // The plan holds these already.
  void Module(std::string_view) override {}
  void Contribution(const pdb::SectionContrib&) override {}
  void Procedure(const PdbProcSpan&) override {}
  void Public(const PdbPublic&) override {}
  void Lines(const PdbLineBlock& block) override;

  // After the walk: the streams of the modules without lines.
  void Finish();

 private:
  void StartStream(std::size_t module);
  void EndStream(std::size_t module);

  std::vector<PdbModule>& modules_;
  MsfWriter& writer_;
  std::vector<bool> started_;  // per module: its stream begun
  std::vector<uint64_t> linesWritten_;
  std::string data_;
};

}  // namespace qf
