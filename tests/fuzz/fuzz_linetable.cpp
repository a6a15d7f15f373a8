// Fast libFuzzer target of the MAP line table: the input is read once as a
// MAP file and only cheap invariants are checked (the cross-checks against a
// plain reading, pieces and threads are in fuzz_crosscheck).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzCheck.h"
#include "map/LookupTexts.h"
#include "map/U_MAPFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string_view text = input.substr(0, input.find('\0'));
  qf::TMapFile map;
  map.LoadFromText(input);

  // Each entry takes at least one character of a data line.
  QF_CHECK(map.Count() >= 0 && static_cast<std::size_t>(map.Count()) <= text.size());
  QF_CHECK(map.Loaded() == (map.Count() > 0));

  // Every source name comes from a header of the input.
  qf::fuzz::NamesInText names(text);
  const std::string* last = nullptr;
  for (int32_t i = 0; i < map.Count(); ++i) {
    const std::string& source = map.Entry(i).SourceFile();
    if (&source == last) continue;
    last = &source;
    QF_CHECK(source == "Unknown file" || names.Holds(source));
  }

  // A few lookups: the offset of the first, middle and last entries, one
  // past them, and a value taken from the input. An entry's own offset is
  // always found; an answer never lies above the offset asked for.
  if (map.Count() > 0) {
    for (const int32_t i : {0, map.Count() / 2, map.Count() - 1}) {
      const int32_t offset = map.Entry(i).Offset();
      const auto hit = map.FindOffset(offset);
      QF_CHECK(hit && hit->Offset() <= offset);
      if (offset < INT32_MAX) {
        const auto next = map.FindOffset(offset + 1);
        QF_CHECK(!next || next->Offset() <= offset + 1);
      }
    }
  }
  int32_t fromInput = 0;
  for (std::size_t i = 0; i < size && i < 4; ++i) fromInput = fromInput << 8 | data[i];
  const auto hit = map.FindOffset(fromInput);
  QF_CHECK(!hit || hit->Offset() <= fromInput);

  // The first line typed as a crash address.
  const std::string_view typed = text.substr(0, text.find_first_of("\r\n"));
  const qf::SearchAnswer answer = qf::AnswerSearch(map, typed.substr(0, 64));
  QF_CHECK(map.Loaded() || answer.kind == qf::SearchAnswer::LoadFirst);
  return 0;
}
