// What map_from_debug learns about one PE module from the text that GNU
// binutils print for it: its sections, code symbols, compilation units and
// decoded line table. Addresses are absolute, in the module's preferred
// layout.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mfd {

struct Section {
  std::string name;
  uint64_t start = 0;
  uint64_t size = 0;
  bool code = false;      // CODE flag
  bool contents = false;  // CONTENTS flag (BSS has none)
};

struct Symbol {
  uint64_t address = 0;
  std::string name;  // as nm prints it (i686: with its leading underscore)
};

// One address range of a compilation unit (a unit may have several).
struct UnitRange {
  uint64_t start = 0;
  uint64_t length = 0;
  std::string unit;  // the source's file name without folder and extension
};

struct LineRow {
  uint64_t address = 0;
  int32_t line = 0;
  std::string file;  // file name as the decoded table prints it
};

struct ModuleDebugInfo {
  uint64_t imageBase = 0;
  bool wide = false;  // 64-bit image: 16-digit segment starts
  std::vector<Section> sections;  // loaded sections, in image order
  std::vector<Symbol> symbols;    // text symbols, undecorated
  std::vector<UnitRange> units;
  std::vector<LineRow> lines;     // in the table's order
};

// Readers of each tool's text output. They throw std::runtime_error when
// the text lacks what they need.

// `objdump -p`: ImageBase, and whether the image is PE32+.
void ReadPrivateHeaders(std::string_view text, ModuleDebugInfo& info);
// `objdump -h -w`: the sections that are loaded (ALLOC).
std::vector<Section> ReadSections(std::string_view text);
// `nm`: text symbols (t, T), undecorated as the C compiler named them: the
// i686 leading underscore and a stdcall @N suffix removed when `underscored`.
std::vector<Symbol> ReadSymbols(std::string_view text, bool underscored);
// `objdump --dwarf=info --dwarf-depth=1` and `objdump --dwarf=aranges`: the
// ranges of each compilation unit, named after its source file.
std::vector<UnitRange> ReadUnits(std::string_view info, std::string_view aranges);
// `objdump --dwarf=decodedline -w`: the rows with a line number.
std::vector<LineRow> ReadLines(std::string_view text);

// The MAP file text in the Delphi layout.
std::string WriteDelphiMap(const ModuleDebugInfo& info);

}  // namespace mfd
