// Writes the MAP file of a module in the layout of a modern Delphi linker:
// segment table with absolute starts, units, publics by value and line
// numbers, every offset relative to the start of its segment.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <stdexcept>

#include "ModuleDebugInfo.h"

namespace mfd {
namespace {

template <typename... Args>
void Append(std::string& out, const char* format, Args... args) {
  char buffer[512];
  const int n = std::snprintf(buffer, sizeof buffer, format, args...);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof buffer) throw std::runtime_error("MAP row too long");
  out.append(buffer, static_cast<std::size_t>(n));
}

// The segment number (1-based) of the code section holding an address; 0
// when none does.
unsigned CodeSegmentOf(const std::vector<Section>& sections, uint64_t address) {
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const Section& s = sections[i];
    if (s.code && address >= s.start && address - s.start < s.size) return static_cast<unsigned>(i + 1);
  }
  return 0;
}

const UnitRange* UnitAt(const std::vector<UnitRange>& units, uint64_t address) {
  for (const UnitRange& u : units) {
    if (address >= u.start && address - u.start < u.length) return &u;
  }
  return nullptr;
}

uint32_t OffsetIn(const Section& section, uint64_t address) {
  return static_cast<uint32_t>(address - section.start);
}

}  // namespace

std::string WriteDelphiMap(const ModuleDebugInfo& info) {
  const std::vector<Section>& sections = info.sections;
  const auto firstCode = std::find_if(sections.begin(), sections.end(), [](const Section& s) { return s.code; });
  // A reader takes the image base to be the first code start minus 0x1000.
  if (firstCode == sections.end() || firstCode->start != info.imageBase + 0x1000) {
    throw std::runtime_error("the first code section does not start 0x1000 above the image base");
  }

  std::string out = "\n Start         Length     Name                   Class\n";
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const Section& s = sections[i];
    const char* cls = s.code ? "CODE" : s.contents ? "DATA" : "BSS";
    Append(out, " %04X:%0*" PRIX64 " %08" PRIX64 "H %-23s %s\n", static_cast<unsigned>(i + 1), info.wide ? 16 : 8,
           s.start, s.size, s.name.c_str(), cls);
  }

  out += "\n\nDetailed map of segments\n\n";
  for (const UnitRange& u : info.units) {
    const unsigned seg = CodeSegmentOf(sections, u.start);
    if (seg == 0) continue;
    Append(out, " %04X:%08" PRIX32 " %08" PRIX64 " C=CODE     S=%-8s G=(none)   M=%-8s ACBP=A9\n", seg,
           OffsetIn(sections[seg - 1], u.start), u.length, sections[seg - 1].name.c_str(), u.unit.c_str());
  }

  out += "\n\n  Address             Publics by Value\n\n";
  for (const Symbol& s : info.symbols) {
    const unsigned seg = CodeSegmentOf(sections, s.address);
    if (seg == 0) continue;
    Append(out, " %04X:%08" PRIX32 "       %s\n", seg, OffsetIn(sections[seg - 1], s.address), s.name.c_str());
  }

  // One section per unit and file, in the order of first address. Of rows
  // at one address the last counts, as for addr2line.
  std::vector<LineRow> rows = info.lines;
  std::stable_sort(rows.begin(), rows.end(), [](const LineRow& a, const LineRow& b) { return a.address < b.address; });
  std::vector<std::pair<std::string, std::string>> order;  // (unit, file)
  std::map<std::pair<std::string, std::string>, std::vector<const LineRow*>> groups;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i + 1 < rows.size() && rows[i + 1].address == rows[i].address) continue;
    const UnitRange* unit = UnitAt(info.units, rows[i].address);
    std::pair<std::string, std::string> key{unit != nullptr ? unit->unit : rows[i].file, rows[i].file};
    auto& group = groups[key];
    if (group.empty()) order.push_back(key);
    group.push_back(&rows[i]);
  }
  for (const auto& key : order) {
    std::string pairs;
    int column = 0;
    for (const LineRow* row : groups[key]) {
      const unsigned seg = CodeSegmentOf(sections, row->address);
      if (seg == 0) continue;
      Append(pairs, " %5d %04X:%08" PRIX32, static_cast<int>(row->line), seg, OffsetIn(sections[seg - 1], row->address));
      if (++column == 4) {
        pairs += "\n";
        column = 0;
      }
    }
    if (pairs.empty()) continue;
    if (column != 0) pairs += "\n";
    Append(out, "\nLine numbers for %s(%s) segment %s\n\n", key.first.c_str(), key.second.c_str(),
           firstCode->name.c_str());
    out += pairs;
  }
  out += "\n";
  return out;
}

}  // namespace mfd
