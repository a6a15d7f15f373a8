#include "ReferenceSymbolMap.h"

#include "map/MapSegments.h"

namespace qf::fuzz {
namespace {

bool Blank(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && Blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && Blank(s.back())) s.remove_suffix(1);
  return s;
}

bool IsBlankLine(std::string_view s) { return Trimmed(s).empty(); }

// The next run of characters above code 32; rest keeps what follows it.
std::string_view TakeWord(std::string_view& rest) {
  std::size_t i = 0;
  while (i < rest.size() && Blank(rest[i])) ++i;
  std::size_t j = i;
  while (j < rest.size() && !Blank(rest[j])) ++j;
  const std::string_view word = rest.substr(i, j - i);
  rest.remove_prefix(j);
  return word;
}

bool Hex(std::string_view s, uint64_t& value) {
  if (s.empty() || s.size() > 16) return false;
  uint64_t v = 0;
  for (const char c : s) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    v = v * 16 + static_cast<uint64_t>(d);
  }
  value = v;
  return true;
}

// "SSSS:OOOOOOOO".
bool Address(std::string_view word, uint64_t& segment, uint64_t& offset) {
  return word.size() >= 6 && word[4] == ':' && Hex(word.substr(0, 4), segment) && Hex(word.substr(5), offset);
}

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// Module and section names are matched with A-Z folded and "/" read as "\".
std::string Key(std::string_view name) {
  std::string key(name);
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '/') c = '\\';
  }
  return key;
}

struct UnitText {
  uint64_t segment, offset, length;
  std::string_view module;
};

// "SSSS:OOOOOOOO LLLLLLLL[H] KEY=VALUE... M=module ACBP=..": the module runs
// from "M=" to the last " ACBP=" or " ALIGN=".
std::optional<UnitText> UnitRow(std::string_view rest) {
  UnitText u;
  if (!Address(TakeWord(rest), u.segment, u.offset)) return std::nullopt;
  std::string_view length = TakeWord(rest);
  if (!length.empty() && length.back() == 'H') length.remove_suffix(1);
  if (!Hex(length, u.length)) return std::nullopt;
  for (;;) {
    std::string_view after = rest;
    const std::string_view word = TakeWord(after);
    if (StartsWith(word, "M=")) {
      rest = rest.substr(rest.find("M=") + 2);
      break;
    }
    if (word.find('=') == std::string_view::npos || word[0] == '=') return std::nullopt;
    rest = after;
  }
  std::size_t end = rest.size();
  for (const std::string_view tail : {" ACBP=", " ALIGN="}) {
    const std::size_t at = rest.rfind(tail);
    if (at != std::string_view::npos && (end == rest.size() || at > end)) end = at;
  }
  u.module = Trimmed(rest.substr(0, end));
  return u;
}

// A public name that is type information: a ".." outside every "(", or
// inside a "(" that is never closed.
bool TypeInformation(std::string_view name) {
  for (std::size_t i = 0; i + 1 < name.size(); ++i) {
    if (name[i] != '.' || name[i + 1] != '.') continue;
    std::size_t depth = 0;
    for (std::size_t j = 0; j < i; ++j) {
      if (name[j] == '(') ++depth;
      if (name[j] == ')' && depth > 0) --depth;
    }
    if (depth == 0) return true;
    std::size_t d = depth;
    bool closed = false;
    for (std::size_t j = i; j < name.size() && !closed; ++j) {
      if (name[j] == '(') ++d;
      if (name[j] == ')') closed = --d < depth;
    }
    if (!closed) return true;
  }
  return false;
}

struct PublicText {
  uint64_t segment, offset;
  std::string_view name;
};

std::optional<PublicText> PublicRow(std::string_view rest) {
  PublicText p;
  if (!Address(TakeWord(rest), p.segment, p.offset)) return std::nullopt;
  if (rest.empty() || !Blank(rest.front())) return std::nullopt;
  p.name = Trimmed(rest);
  if (p.name.empty()) return std::nullopt;
  return p;
}

struct PairText {
  int32_t line;
  uint64_t segment, offset;
};

// The pairs from the left of a line up to the first text of another shape.
std::vector<PairText> Pairs(std::string_view rest) {
  std::vector<PairText> pairs;
  for (;;) {
    const std::string_view number = TakeWord(rest);
    if (number.empty() || number.size() > 10) break;
    int64_t line = 0;
    bool digits = true;
    for (const char c : number) {
      digits = digits && c >= '0' && c <= '9';
      line = line * 10 + (c - '0');
    }
    if (!digits || line > INT32_MAX) break;
    PairText p;
    if (!Address(TakeWord(rest), p.segment, p.offset)) break;
    p.line = static_cast<int32_t>(line);
    pairs.push_back(p);
  }
  return pairs;
}

// UNIT and SOURCE of "Line numbers for UNIT(SOURCE) segment S".
void SectionNames(std::string_view header, std::string& unit, std::string& source) {
  if (StartsWith(header, "Line numbers for ")) header.remove_prefix(17);
  const std::size_t open = header.find('(');
  const std::size_t close = header.rfind(") segment ");
  if (open != std::string_view::npos && close != std::string_view::npos && close >= open) {
    unit = std::string(header.substr(0, open));
    source = std::string(header.substr(open + 1, close - open - 1));
    return;
  }
  unit = source = std::string(Trimmed(header.substr(0, header.rfind(" segment "))));
}

}  // namespace

ReferenceSymbolMap::ReferenceSymbolMap(const std::vector<std::string>& lines) {
  ReadTable(lines);
  ReadRows(lines);
  for (const Unit& u : units_) {
    CodeSegment& s = segments_[u.segment];
    if (u.end > s.length) s.length = u.end;
  }
  // A pair answers for the unit that owns its offset when its section names
  // that unit (by unit or source name); a pair in no unit answers outside
  // every unit.
  for (Pair& p : pairs_) {
    const auto o = OwnerOf(p.segment, p.offset);
    if (!o) {
      p.group = kNoUnit;
    } else {
      const std::string key = Key(units_[*o].module);
      p.group = Key(p.unit) == key || Key(p.source) == key ? static_cast<int64_t>(*o) : kNever;
    }
  }
}

// The first header, then the rows right after it.
void ReferenceSymbolMap::ReadTable(const std::vector<std::string>& lines) {
  std::size_t at = 0;
  while (at < lines.size() && !IsSegmentTableHeader(lines[at])) ++at;
  if (at == lines.size()) return;
  std::vector<MapSegment> rows;
  for (++at; at < lines.size(); ++at) {
    auto row = ParseSegmentRow(lines[at]);
    if (!row) break;
    rows.push_back(*row);
  }
  const MapSegment* code = FirstCodeSegment(rows);
  if (code == nullptr) return;
  auto add = [this](const MapSegment& row, uint64_t start) {
    for (const CodeSegment& s : segments_) {
      if (Key(s.id) == Key(row.id)) return;  // the first row of a number counts
    }
    segments_.push_back(CodeSegment{row.id, row.name, start, row.length});
  };
  if (code->start != 0) {
    imageBase_ = code->start - 0x1000;
    for (const MapSegment& row : rows) {
      if (IsCodeClass(row.cls)) add(row, row.start);
    }
  } else {
    add(*code, 0x401000);
  }
}

std::optional<std::size_t> ReferenceSymbolMap::CodeSegmentOf(uint64_t number) const {
  for (std::size_t k = 0; k < segments_.size(); ++k) {
    uint64_t id = 0;
    Hex(segments_[k].id, id);
    if (id == number) return k;
  }
  return std::nullopt;
}

// Rows count wherever they stand (before the segment table too) when their
// segment is a code segment of the table.
void ReferenceSymbolMap::ReadRows(const std::vector<std::string>& lines) {
  enum class Mode { Idle, Units, Publics, LinesHeader, Lines } mode = Mode::Idle;
  std::string unit, source;
  // Reads the pairs of a line; false when it holds none.
  auto addPairs = [&](std::string_view line) {
    const std::vector<PairText> pairs = Pairs(line);
    for (const PairText& p : pairs) {
      const auto k = CodeSegmentOf(p.segment);
      if (k && p.offset <= UINT32_MAX) pairs_.push_back({*k, p.offset, p.line, unit, source, kNever});
    }
    return !pairs.empty();
  };
  for (const std::string& text : lines) {
    const std::string_view line = text;
    // A line that ends one kind of rows is read again as the start of what
    // follows.
    for (bool again = true; again;) {
      again = false;
      if (mode == Mode::Idle) {
        const std::string_view t = Trimmed(line);
        if (StartsWith(t, "Line numbers for ")) {
          SectionNames(t, unit, source);
          mode = Mode::LinesHeader;
        } else if (StartsWith(t, "Detailed map of segments")) {
          mode = Mode::Units;
        } else if (t.find("Publics by Value") != std::string_view::npos && !PublicRow(t)) {
          mode = Mode::Publics;
        }
      } else if (IsBlankLine(line)) {
        if (mode == Mode::Lines) mode = Mode::Idle;
      } else if (mode == Mode::Units) {
        if (const auto u = UnitRow(line)) {
          if (const auto k = CodeSegmentOf(u->segment)) {
            units_.push_back({*k, u->offset, u->offset + u->length, std::string(u->module)});
          }
        } else {
          mode = Mode::Idle;
          again = true;
        }
      } else if (mode == Mode::Publics) {
        if (const auto p = PublicRow(line)) {
          const auto k = CodeSegmentOf(p->segment);
          if (k && p->offset <= UINT32_MAX && !TypeInformation(p->name)) {
            publics_.push_back({*k, p->offset, std::string(p->name)});
          }
        } else {
          mode = Mode::Idle;
          again = true;
        }
      } else if (addPairs(line)) {
        mode = Mode::Lines;
      } else {
        mode = Mode::Idle;
        again = true;
      }
    }
  }
}

// The first unit in file order whose range holds the offset.
std::optional<std::size_t> ReferenceSymbolMap::OwnerOf(std::size_t segment, uint64_t offset) const {
  for (std::size_t i = 0; i < units_.size(); ++i) {
    const Unit& u = units_[i];
    if (u.segment == segment && u.start < u.end && u.start <= offset && offset < u.end) return i;
  }
  return std::nullopt;
}

ReferenceAnswer ReferenceSymbolMap::Answer(uint64_t address) const {
  ReferenceAnswer out;
  // The segment of the greatest start at or below the address (the last
  // in table order among equal starts), if its length reaches the address.
  std::optional<std::size_t> k;
  for (std::size_t i = 0; i < segments_.size(); ++i) {
    if (segments_[i].start <= address && (!k || segments_[i].start >= segments_[*k].start)) k = i;
  }
  if (!k || address - segments_[*k].start >= segments_[*k].length) return out;
  const uint64_t offset = address - segments_[*k].start;
  out.inCode = true;
  out.segment = segments_[*k].name;

  const auto owner = OwnerOf(*k, offset);
  const uint64_t floor = owner ? units_[*owner].start : 0;
  if (owner) out.unit = units_[*owner].module;

  // The public of the greatest offset at or below (the first of equals),
  // if it is not below the unit.
  const Public* pub = nullptr;
  for (const Public& p : publics_) {
    if (p.segment == *k && p.offset <= offset && (!pub || p.offset > pub->offset)) pub = &p;
  }
  if (pub && pub->offset >= floor) {
    out.function = pub->name;
    out.functionOffset = offset - pub->offset;
  }

  const Pair* hit = nullptr;
  if (owner) {
    // The greatest pair at or below among those that answer for the unit.
    for (const Pair& p : pairs_) {
      if (p.segment != *k || p.group != static_cast<int64_t>(*owner) || p.offset > offset ||
          (hit && p.offset <= hit->offset)) {
        continue;
      }
      hit = &p;
    }
  } else {
    // Outside every unit: the greatest pair of any section at or below and
    // the least above (the first of equals), when both exist and share
    // their file.
    const Pair* below = nullptr;
    const Pair* above = nullptr;
    for (const Pair& p : pairs_) {
      if (p.segment != *k) continue;
      if (p.offset <= offset && (!below || p.offset > below->offset)) below = &p;
      if (p.offset > offset && (!above || p.offset < above->offset)) above = &p;
    }
    hit = below && above && below->source == above->source ? below : nullptr;
  }
  if (hit) {
    out.file = hit->source;
    out.line = hit->line;
  }
  return out;
}

std::vector<uint64_t> ReferenceSymbolMap::Landmarks() const {
  std::vector<uint64_t> at;
  for (const CodeSegment& s : segments_) {
    for (const uint64_t a : {s.start - 1, s.start, s.start + s.length - 1, s.start + s.length}) at.push_back(a);
  }
  auto near = [&](std::size_t segment, uint64_t offset) {
    const uint64_t start = segments_[segment].start;
    for (const uint64_t a : {start + offset - 1, start + offset, start + offset + 1}) at.push_back(a);
  };
  for (std::size_t i = 0; i < units_.size() && i < 64; ++i) {
    near(units_[i].segment, units_[i].start);
    near(units_[i].segment, units_[i].end);
  }
  for (std::size_t i = 0; i < publics_.size() && i < 64; ++i) near(publics_[i].segment, publics_[i].offset);
  for (std::size_t i = 0; i < pairs_.size() && i < 128; ++i) near(pairs_[i].segment, pairs_[i].offset);
  return at;
}

}  // namespace qf::fuzz
