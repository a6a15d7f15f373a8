// Readers of the text that objdump and nm print (binutils 2.40 layout).
#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>
#include <stdexcept>

#include "ModuleDebugInfo.h"

namespace mfd {
namespace {

std::vector<std::string> Words(std::string_view line) {
  std::vector<std::string> words;
  std::istringstream in{std::string(line)};
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

bool IsHex(std::string_view s) {
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
  return !s.empty() && s.size() <= 16 &&
         std::all_of(s.begin(), s.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

uint64_t Hex(std::string_view s) {
  if (!IsHex(s)) throw std::runtime_error("not a hexadecimal number: " + std::string(s));
  return std::stoull(std::string(s), nullptr, 16);
}

bool IsDecimal(std::string_view s) {
  return !s.empty() && s.size() <= 9 &&
         std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

std::string_view AfterColon(std::string_view line) {
  const std::size_t colon = line.rfind(": ");
  return colon == std::string_view::npos ? std::string_view() : line.substr(colon + 2);
}

// "/a/b/CrashLib.c" -> "CrashLib"
std::string UnitName(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\");
  if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
  const std::size_t dot = path.rfind('.');
  if (dot != std::string_view::npos && dot > 0) path = path.substr(0, dot);
  return std::string(path);
}

}  // namespace

void ReadPrivateHeaders(std::string_view text, ModuleDebugInfo& info) {
  bool base = false, magic = false;
  for (const std::string_view line : Lines(text)) {
    const std::vector<std::string> w = Words(line);
    if (w.size() >= 2 && w[0] == "ImageBase") {
      info.imageBase = Hex(w[1]);
      base = true;
    } else if (w.size() >= 2 && w[0] == "Magic") {
      info.wide = w[1] == "020b";
      magic = true;
    }
  }
  if (!base || !magic) throw std::runtime_error("objdump -p printed no ImageBase or Magic");
}

std::vector<Section> ReadSections(std::string_view text) {
  // "  0 .text  00001484  10001000  10001000  00000600  2**2  CONTENTS, ALLOC, ..., CODE"
  std::vector<Section> sections;
  for (const std::string_view line : Lines(text)) {
    const std::vector<std::string> w = Words(line);
    if (w.size() < 8 || !IsDecimal(w[0]) || !IsHex(w[2]) || !IsHex(w[3]) || !StartsWith(w[6], "2**")) continue;
    const auto has = [&](const char* flag) {
      return std::any_of(w.begin() + 7, w.end(), [&](std::string f) {
        if (!f.empty() && f.back() == ',') f.pop_back();
        return f == flag;
      });
    };
    if (!has("ALLOC")) continue;
    sections.push_back(Section{w[1], Hex(w[3]), Hex(w[2]), has("CODE"), has("CONTENTS")});
  }
  if (sections.empty()) throw std::runtime_error("objdump -h printed no loaded section");
  return sections;
}

std::vector<Symbol> ReadSymbols(std::string_view text, bool underscored) {
  // "00401560 t _Level3"
  std::vector<Symbol> symbols;
  for (const std::string_view line : Lines(text)) {
    const std::vector<std::string> w = Words(line);
    if (w.size() != 3 || !IsHex(w[0]) || (w[1] != "t" && w[1] != "T") || w[2][0] == '.') continue;
    std::string name = w[2];
    if (underscored) {
      if (name[0] == '_') {
        name.erase(0, 1);
        // stdcall: _Name@12
        const std::size_t at = name.rfind('@');
        if (at != std::string::npos && at > 0 && IsDecimal(name.substr(at + 1))) name.erase(at);
      } else if (name[0] == '@') {
        // fastcall: @Name@8
        const std::size_t at = name.rfind('@');
        if (at > 0 && IsDecimal(name.substr(at + 1))) name = name.substr(1, at - 1);
      }
    }
    symbols.push_back(Symbol{Hex(w[0]), name});
  }
  std::stable_sort(symbols.begin(), symbols.end(),
                   [](const Symbol& a, const Symbol& b) { return a.address < b.address; });
  return symbols;
}

std::vector<UnitRange> ReadUnits(std::string_view info, std::string_view aranges) {
  // info: "  Compilation Unit @ offset 0x1423:" then the unit's DW_AT_name.
  std::map<uint64_t, std::string> names;
  bool pending = false;
  uint64_t offset = 0;
  for (const std::string_view line : Lines(info)) {
    const std::vector<std::string> w = Words(line);
    if (w.size() == 5 && w[0] == "Compilation" && w[1] == "Unit" && w[3] == "offset") {
      std::string o = w[4];
      if (!o.empty() && o.back() == ':') o.pop_back();
      offset = Hex(o);
      pending = true;
    } else if (pending && line.find("DW_AT_name") != std::string_view::npos) {
      names[offset] = UnitName(AfterColon(line));
      pending = false;
    }
  }
  // aranges: "  Offset into .debug_info:  0x1423", then "    10001000 000003db" rows.
  std::vector<UnitRange> units;
  const std::string* unit = nullptr;
  for (const std::string_view line : Lines(aranges)) {
    const std::vector<std::string> w = Words(line);
    if (w.size() == 4 && w[0] == "Offset" && w[2] == ".debug_info:") {
      const auto found = names.find(Hex(w[3]));
      if (found == names.end()) throw std::runtime_error("aranges name an unknown compilation unit " + w[3]);
      unit = &found->second;
    } else if (unit != nullptr && w.size() == 2 && IsHex(w[0]) && IsHex(w[1])) {
      const uint64_t start = Hex(w[0]), length = Hex(w[1]);
      if (length != 0) units.push_back(UnitRange{start, length, *unit});
    }
  }
  std::stable_sort(units.begin(), units.end(),
                   [](const UnitRange& a, const UnitRange& b) { return a.start < b.start; });
  return units;
}

std::vector<LineRow> ReadLines(std::string_view text) {
  // "CrashLib.c     14     0x100014b6     1     x": file name, line ("-" ends
  // a sequence), address, then the optional view and stmt columns.
  std::vector<LineRow> rows;
  for (const std::string_view line : Lines(text)) {
    const std::vector<std::string> w = Words(line);
    for (std::size_t i = 2; i < w.size(); ++i) {
      if (!StartsWith(w[i], "0x") || !IsHex(w[i]) || !IsDecimal(w[i - 1])) continue;
      const bool tail = std::all_of(w.begin() + i + 1, w.end(),
                                    [](const std::string& x) { return x == "x" || IsDecimal(x); });
      if (!tail) continue;
      std::string file = w[0];
      for (std::size_t k = 1; k + 1 < i; ++k) file += " " + w[k];
      rows.push_back(LineRow{Hex(w[i]), std::stoi(w[i - 1]), file});
      break;
    }
  }
  return rows;
}

}  // namespace mfd
