// Fast libFuzzer target of the symbol map: the input is read once as a MAP
// file, then addresses around each code segment and a few taken from the
// input are symbolized; only cheap invariants are checked (the answers
// against a plain reading are checked in fuzz_crosscheck).
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "SymbolizedCheck.h"
#include "map/SymbolMap.h"

namespace {

bool HasLineEnd(std::string_view name) { return name.find_first_of("\r\n") != std::string_view::npos; }

void CheckName(qf::fuzz::NamesInText& names, const std::optional<std::string_view>& name) {
  if (name) QF_CHECK(!HasLineEnd(*name) && names.Holds(*name));
}

void CheckSymbolized(const qf::SymbolMap& map, qf::fuzz::NamesInText& names, uint64_t address) {
  const qf::Symbolized s = qf::fuzz::CheckedSymbolize(map, address);
  if (!s.inCode) return;
  QF_CHECK(!s.line || *s.line >= 0);
  CheckName(names, s.unit);
  CheckName(names, s.function);
  CheckName(names, s.file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string_view text = input.substr(0, input.find('\0'));
  const qf::SymbolMap map = qf::SymbolMap::FromText(input);
  const std::vector<qf::CodeSegment>& segments = map.CodeSegments();

  // At most one segment per table row, each with its name from the input.
  QF_CHECK(segments.size() <= text.size() / 14);
  qf::fuzz::NamesInText names(text);
  for (const qf::CodeSegment& c : segments) {
    QF_CHECK(c.id.size() == 4 && names.Holds(c.id) && !c.name.empty() && names.Holds(c.name));
  }
  // A base of the new layout comes with at least one code segment.
  QF_CHECK(map.ImageBase() == 0x400000 || !segments.empty());

  // Offsets read from the input: eight bytes at a time as a little-endian
  // number, kept below 16 MB so that they fall inside segments.
  std::vector<uint64_t> offsets;
  for (std::size_t at = 0; at + 4 <= size && offsets.size() < 8; at += size / 8 + 1) {
    uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) v = v << 8 | data[at + i];
    offsets.push_back(v & 0xFFFFFF);
  }
  const std::size_t shown = segments.size() < 8 ? segments.size() : 8;
  for (std::size_t k = 0; k < shown; ++k) {
    const qf::CodeSegment& c = segments[k];
    for (const uint64_t at : {c.start - 1, c.start, c.start + c.length / 2, c.start + c.length - 1, c.start + c.length}) {
      CheckSymbolized(map, names, at);
    }
    for (const uint64_t o : offsets) CheckSymbolized(map, names, c.start + o);
  }
  for (const uint64_t at : {uint64_t{0}, UINT64_MAX, map.ImageBase(), uint64_t{0x401000}}) {
    CheckSymbolized(map, names, at);
  }
  return 0;
}
