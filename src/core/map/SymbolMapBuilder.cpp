#include "map/SymbolMapBuilder.h"

#include <algorithm>
#include <unordered_map>

#include "base/TextRules.h"
#include "map/MapSymbolRows.h"
#include "map/RawSegment.h"

namespace qf {
namespace {

constexpr uint64_t kOldLayoutImageBase = 0x400000;
constexpr uint64_t kOldLayoutCodeStart = 0x401000;
constexpr uint64_t kCodeStartFromBase = 0x1000;

// The form in which a module name and a line-number section's names are
// compared: A-Z folded to a-z, "/" read as "\".
std::string MatchKey(std::string_view name) {
  std::string key = LowerCase(name);
  std::replace(key.begin(), key.end(), '/', '\\');
  return key;
}

}  // namespace

struct SymbolMapBuilder::State {
  std::unique_ptr<SymbolMapData> data = std::make_unique<SymbolMapData>();
  NamePool keys;
  NamePool keyed;                 // names whose match key is known
  std::vector<uint32_t> keyOf;    // by number in keyed: the key's number in keys
  std::vector<SectionKeys> sections;
  std::unordered_map<uint64_t, uint32_t> sectionIndex;  // (unit key, exact source)
  std::unordered_map<uint32_t, RawSegment> raw;          // by segment number
  std::vector<uint32_t> localSections;                   // of the batch being taken

  // The match key of a name, worked out once per name: the same module and
  // section names come back row after row.
  uint32_t KeyOf(std::string_view name) {
    const uint32_t k = keyed.Intern(name);
    if (k == keyOf.size()) keyOf.push_back(keys.Intern(MatchKey(name)));
    return keyOf[k];
  }

  uint32_t Section(std::string_view unit, std::string_view source) {
    SectionKeys s;
    s.source = data->names.Intern(source);
    s.unitKey = KeyOf(unit);
    s.sourceKey = KeyOf(source);
    const uint64_t id = (static_cast<uint64_t>(s.unitKey) << 32) | s.source;
    const auto found = sectionIndex.find(id);
    if (found != sectionIndex.end()) return found->second;
    sections.push_back(s);
    return sectionIndex.emplace(id, static_cast<uint32_t>(sections.size() - 1)).first->second;
  }

  void Append(const SymbolRows& rows) {
    for (const SymbolRows::Unit& u : rows.units) {
      const std::string& module = rows.names[u.module];
      raw[u.segment].units.push_back(
          UnitRow{u.offset, u.offset + u.length, data->names.Intern(module), KeyOf(module)});
    }
    std::string& text = data->publicNames;
    for (const SymbolRows::Public& p : rows.publics) {
      if (text.size() + p.nameLength > kNoIndex) continue;
      raw[p.segment].publics.push_back(Public{p.offset, static_cast<uint32_t>(text.size()), p.nameLength});
      text.append(rows.publicText, p.nameStart, p.nameLength);
    }
    localSections.clear();
    for (std::size_t i = 0; i < rows.sections.size(); ++i) {
      const SymbolRows::Section& s = rows.sections[i];
      localSections.push_back(Section(rows.names[s.unit], rows.names[s.source]));
    }
    static_assert(sizeof(SymbolRows::Pair) == sizeof(LinePair), "pairs are copied as they are");
    for (std::size_t r = 0; r < rows.runs.size(); ++r) {
      const SymbolRows::Run& run = rows.runs[r];
      const std::size_t end = r + 1 < rows.runs.size() ? rows.runs[r + 1].first : rows.pairs.size();
      const auto* first = reinterpret_cast<const LinePair*>(rows.pairs.data() + run.first);
      raw[run.segment].AddPairs(first, end - run.first, localSections[run.section]);
    }
  }

  // The code segments of the table, and where each segment number's rows go.
  std::unordered_map<uint32_t, uint32_t> SettleTable(const std::vector<MapSegment>& rows) {
    std::unordered_map<uint32_t, uint32_t> codeIndex;
    data->segmentTable = !rows.empty();
    data->wideStarts = !rows.empty() && rows.front().wide;
    const MapSegment* code = FirstCodeSegment(rows);
    if (code == nullptr) return codeIndex;
    const auto add = [&](const MapSegment& row, uint64_t start) {
      // A number listed twice keeps its first row.
      if (!codeIndex.emplace(SegmentNumberOf(row.id), static_cast<uint32_t>(data->codeSegments.size())).second) return;
      data->codeSegments.push_back(CodeSegment{row.id, row.name, start, row.length});
    };
    if (code->start != 0) {
      data->imageBase = code->start - kCodeStartFromBase;
      for (const MapSegment& row : rows) {
        if (IsCodeClass(row.cls)) add(row, row.start);
      }
    } else {
      data->imageBase = kOldLayoutImageBase;
      add(*code, kOldLayoutCodeStart);
    }
    return codeIndex;
  }

  SymbolMap Finish(const std::vector<MapSegment>& table) {
    SymbolMapData& d = *data;
    const std::unordered_map<uint32_t, uint32_t> codeIndex = SettleTable(table);
    d.symbols.resize(d.codeSegments.size());
    for (const auto& [number, k] : codeIndex) {
      const auto rows = raw.find(number);
      RawSegment none;
      FinishSegment(rows == raw.end() ? none : rows->second, sections, d.codeSegments[k], d.symbols[k]);
    }
    raw.clear();
    // The sources in the order of their first section.
    for (const SectionKeys& section : sections) {
      if (d.sourceNumber.size() <= section.source) d.sourceNumber.resize(section.source + 1, kNoIndex);
      if (d.sourceNumber[section.source] != kNoIndex) continue;
      d.sourceNumber[section.source] = static_cast<uint32_t>(d.sourceFiles.size());
      d.sourceFiles.push_back(d.names.Name(section.source));
    }
    d.publicNames.shrink_to_fit();
    d.byStart.resize(d.codeSegments.size());
    for (uint32_t k = 0; k < d.byStart.size(); ++k) d.byStart[k] = k;
    std::stable_sort(d.byStart.begin(), d.byStart.end(),
                     [&](uint32_t a, uint32_t b) { return d.codeSegments[a].start < d.codeSegments[b].start; });
    return SymbolMap(std::move(data));
  }
};

SymbolMapBuilder::SymbolMapBuilder() : state_(std::make_unique<State>()) {}
SymbolMapBuilder::~SymbolMapBuilder() = default;
SymbolMapBuilder::SymbolMapBuilder(SymbolMapBuilder&&) noexcept = default;
SymbolMapBuilder& SymbolMapBuilder::operator=(SymbolMapBuilder&&) noexcept = default;

void SymbolMapBuilder::Append(const SymbolRows& rows) { state_->Append(rows); }

SymbolMap SymbolMapBuilder::Finish(const std::vector<MapSegment>& table) {
  SymbolMap map = state_->Finish(table);
  state_ = std::make_unique<State>();
  return map;
}

}  // namespace qf
