// Fast libFuzzer target of the Breakpad symbol files: the input is read as a
// MAP file and its symbol file written, and read as an image and its stack
// rules written. Checked cheaply: the stretches of code the writer takes
// from the map rise, do not overlap and give at their first and last byte
// the answer of Symbolize; every line written is whole and of its kind.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "image/PeImage.h"
#include "image/UnwindCfi.h"
#include "export/BreakpadSymbols.h"
#include "map/SymbolMap.h"

namespace {

bool SameAnswer(const qf::SymbolRun& run, const qf::Symbolized& s) {
  return s.inCode && s.unit == run.unit && s.function == run.function &&
         (!s.function || s.address - s.functionOffset == run.functionStart) && s.file == run.file &&
         s.line == run.line;
}

// Every line ends with LF and starts with one of the words given.
void CheckLines(const std::string& text, std::initializer_list<std::string_view> kinds, bool others) {
  QF_CHECK(text.empty() || text.back() == '\n');
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    const std::string_view line(text.data() + at, end - at);
    QF_CHECK(line.find('\r') == std::string_view::npos);
    bool known = others;
    for (const std::string_view kind : kinds) known = known || line.substr(0, kind.size()) == kind;
    QF_CHECK(known);
    at = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  const qf::SymbolMap map = qf::SymbolMap::FromText(input);
  uint64_t last = 0;
  bool first = true;
  std::size_t checked = 0;
  map.ForEachRunInUnits([&](const qf::SymbolRun& run) {
    QF_CHECK(run.start < run.end && (first || run.start >= last));
    QF_CHECK(!run.file || run.fileNumber < map.SourceFiles().size());
    first = false;
    last = run.end;
    if (checked++ < 64) {
      QF_CHECK(SameAnswer(run, map.Symbolize(run.start)));
      QF_CHECK(SameAnswer(run, map.Symbolize(run.end - 1)));
    }
  });
  std::string text;
  qf::WriteBreakpadSymbols(map, map.ImageBase(), {"x86", std::string(qf::kZeroBreakpadId), "App.exe", "", ""}, "",
                           [&](std::string_view piece) { text.append(piece); });
  QF_CHECK(text.rfind("MODULE windows x86 ", 0) == 0);
  // Line records follow their FUNC: every other line is a FILE, a FUNC or one.
  CheckLines(text, {"MODULE ", "FILE ", "FUNC "}, true);

  if (const std::optional<qf::PeImage> image = qf::ReadPeImage(input)) {
    const std::string cfi = qf::X64StackCfi(*image, input);
    QF_CHECK(cfi.empty() || image->machine == qf::PeImage::Machine::Amd64);
    CheckLines(cfi, {"STACK CFI "}, false);
  }
  return 0;
}
