#include "export/BreakpadSymbols.h"

#include <algorithm>
#include <optional>

#include "base/NumberText.h"
#include "base/Sha256.h"
#include "names/Demangle.h"

namespace qf {
namespace {

bool EndsWithNoCase(std::string_view text, std::string_view tail) {
  if (text.size() < tail.size()) return false;
  for (std::size_t i = 0; i < tail.size(); ++i) {
    char c = text[text.size() - tail.size() + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != tail[i]) return false;
  }
  return true;
}

// The functions of the symbol file, gathered from the map's runs: one FUNC
// for each stretch of runs with one function (one address of it); a stretch
// without a function gets a FUNC named as Symbolize names it ("??") only
// around the runs that know a line, since Breakpad knows no line outside a
// FUNC.
class FuncWriter {
 public:
  FuncWriter(uint64_t imageBase, bool demangle, std::string& text, const std::function<void(std::string_view)>& flush)
      : imageBase_(imageBase), demangle_(demangle), text_(text), flush_(flush) {}

  void Add(const SymbolRun& run) {
    if (run.start < imageBase_) return;
    const uint64_t start = run.start - imageBase_;
    const uint64_t end = run.end - imageBase_;
    const bool continues = open_ && start == groupEnd_ && run.function.has_value() == named_ &&
                           (!named_ || (*run.function == name_ && run.functionStart == functionStart_));
    if (!continues) {
      Finish();
      open_ = true;
      named_ = run.function.has_value();
      name_ = named_ ? *run.function : std::string_view("??");
      functionStart_ = run.functionStart;
      shared_ = named_ && run.sharedStart;
      funcStart_ = funcEnd_ = start;
      started_ = named_;
    }
    groupEnd_ = end;
    if (!run.line) {
      if (named_) funcEnd_ = end;
      return;
    }
    if (!started_) {
      funcStart_ = start;
      started_ = true;
    }
    funcEnd_ = end;
    if (!lines_.empty() && lines_.back().end == start && lines_.back().line == *run.line &&
        lines_.back().file == run.fileNumber) {
      lines_.back().end = end;
    } else {
      lines_.push_back(Line{start, end, *run.line, run.fileNumber});
    }
  }

  void Finish() {
    if (open_ && started_ && funcEnd_ > funcStart_) {
      text_ += shared_ ? "FUNC m " : "FUNC ";
      AppendHex(text_, funcStart_, 1, HexCase::Lower);
      text_ += ' ';
      AppendHex(text_, funcEnd_ - funcStart_, 1, HexCase::Lower);
      text_ += " 0 ";
      if (demangle_ && LooksMangled(name_)) {
        text_ += DemangleName(name_);
      } else {
        text_ += name_;
      }
      text_ += '\n';
      for (const Line& l : lines_) {
        AppendHex(text_, l.start, 1, HexCase::Lower);
        text_ += ' ';
        AppendHex(text_, l.end - l.start, 1, HexCase::Lower);
        text_ += ' ';
        AppendDecimal(text_, l.line);
        text_ += ' ';
        AppendDecimal(text_, l.file);
        text_ += '\n';
      }
      if (text_.size() >= kPiece) {
        flush_(text_);
        text_.clear();
      }
    }
    open_ = false;
    lines_.clear();
  }

 private:
  static constexpr std::size_t kPiece = std::size_t{1} << 16;
  struct Line {
    uint64_t start, end;
    int32_t line;
    uint32_t file;
  };

  const uint64_t imageBase_;
  const bool demangle_;
  std::string& text_;
  const std::function<void(std::string_view)>& flush_;
  bool open_ = false;
  bool named_ = false;
  bool started_ = false;  // the FUNC has its start
  bool shared_ = false;
  std::string_view name_;
  uint64_t functionStart_ = 0;
  uint64_t funcStart_ = 0, funcEnd_ = 0;
  uint64_t groupEnd_ = 0;  // the end of the last run taken
  std::vector<Line> lines_;
};

}  // namespace

std::string BreakpadDebugId(const std::array<uint8_t, 16>& guid, uint32_t age) {
  const auto le = [&](int at, int bytes) {
    uint64_t v = 0;
    for (int k = bytes - 1; k >= 0; --k) v = v << 8 | guid[static_cast<std::size_t>(at + k)];
    return v;
  };
  std::string id;
  AppendHex(id, le(0, 4), 8);
  AppendHex(id, le(4, 2), 4);
  AppendHex(id, le(6, 2), 4);
  for (std::size_t k = 8; k < 16; ++k) AppendHex(id, guid[k], 2);
  AppendHex(id, age, 1, HexCase::Lower);
  return id;
}

std::string BreakpadCodeId(uint32_t timeDateStamp, uint32_t sizeOfImage) {
  std::string id;
  AppendHex(id, timeDateStamp, 8);
  AppendHex(id, sizeOfImage, 1, HexCase::Lower);
  return id;
}

std::string BreakpadDerivedId(std::string_view codeId, std::string_view imageSha256) {
  Sha256 hash;
  hash.Update(codeId);
  hash.Update(imageSha256);
  const std::array<uint8_t, 32> digest = hash.Finish();
  std::array<uint8_t, 16> guid{};
  std::copy_n(digest.begin(), guid.size(), guid.begin());
  // All zeros would be the id of no CodeView at all.
  if (std::all_of(guid.begin(), guid.end(), [](uint8_t b) { return b == 0; })) guid[15] = 1;
  return BreakpadDebugId(guid, 0);
}

std::string BreakpadSymbolFileName(std::string_view debugName) {
  const std::size_t cut = debugName.find_last_of("\\/:");
  std::string name(cut == std::string_view::npos ? debugName : debugName.substr(cut + 1));
  if (EndsWithNoCase(name, ".pdb")) name.resize(name.size() - 4);
  return name + ".sym";
}

void WriteBreakpadSymbols(const SymbolMap& map, uint64_t imageBase, const BreakpadIdentity& identity,
                          std::string_view stackRecords, const std::function<void(std::string_view)>& write,
                          bool demangle) {
  std::string text;
  text += "MODULE windows " + identity.arch + ' ' + identity.debugId + ' ' + identity.debugName + '\n';
  if (!identity.codeId.empty()) text += "INFO CODE_ID " + identity.codeId + ' ' + identity.codeName + '\n';
  const std::vector<std::string_view>& files = map.SourceFiles();
  for (std::size_t n = 0; n < files.size(); ++n) {
    text += "FILE ";
    AppendDecimal(text, n);
    text += ' ';
    text += files[n];
    text += '\n';
  }
  {
    FuncWriter funcs(imageBase, demangle, text, write);
    map.ForEachRunInUnits([&](const SymbolRun& run) { funcs.Add(run); });
    funcs.Finish();
  }
  if (!text.empty()) write(text);
  text.clear();
  if (!stackRecords.empty()) write(stackRecords);
}

}  // namespace qf
