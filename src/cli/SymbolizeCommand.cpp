// quillfen-cli symbolize: addresses (or every address of a crash report)
// turned into function, unit, source file and line by the MAP file's symbol
// map, in the module's preferred layout.
#include <algorithm>
#include <iostream>
#include <memory>
#include <new>
#include <unordered_set>

#include "Commands.h"
#include "SymbolizedOutput.h"
#include "Terminal.h"
#include "base/ParallelShares.h"
#include "crash/CrashReport.h"
#include "RuntimeReportOutput.h"
#include "crash/ModuleName.h"
#include "base/Errors.h"
#include "map/SymbolMap.h"
#include "base/TextFile.h"
#include "base/TextRules.h"

namespace qf::cli {
namespace {

std::string_view Trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return std::string_view();
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

class Printer {
 public:
  Printer(const SymbolMap& map, const SymbolizeOptions& options, const std::string& module, std::ostream& out)
      : map_(map),
        options_(options),
        module_(module),
        out_(out),
        lineByLine_(IsTerminal(out)),
        fileBase_(map.ImageBase()),
        preferredBase_(options.imageBase.value_or(map.ImageBase())) {}
  ~Printer() { Flush(); }

  // On a terminal each answer is shown at once; elsewhere answers are
  // written in large pieces.
  bool LineByLine() const { return lineByLine_; }

  // Writes the answers kept so far.
  void Flush() {
    if (!pending_.empty()) out_.write(pending_.data(), static_cast<std::streamsize>(pending_.size()));
    pending_.clear();
    out_.flush();
  }

  // The address in the preferred layout (the one shown).
  uint64_t Preferred(const AddressRef& ref) const {
    if (ref.rva || options_.rva) return preferredBase_ + ref.value;
    if (options_.base) return ref.value - *options_.base + preferredBase_;
    return ref.value;
  }
  // The same address in the layout the symbol map was read in.
  uint64_t InMap(uint64_t preferred) const { return preferred - preferredBase_ + fileBase_; }

  // A MODULE+0xRVA of a module other than the MAP file's (when that is known).
  bool OfAnotherModule(const AddressRef& ref) const {
    return !ref.module.empty() && !module_.empty() && !IsModule(ref.module, module_);
  }

  // Prints the addresses in their order; true when all lie in code. The map
  // answers them together (in address order, far faster for many). An
  // address of another module is named as such and never read against this
  // MAP file.
  bool PrintAll(const std::vector<AddressRef>& refs) {
    // answersBefore[i]: the answer of refs[i] when it is of this module.
    std::vector<uint64_t> inMap;
    std::vector<std::size_t> answersBefore(refs.size() + 1, 0);
    for (std::size_t i = 0; i < refs.size(); ++i) {
      if (!OfAnotherModule(refs[i])) inMap.push_back(InMap(Preferred(refs[i])));
      answersBefore[i + 1] = inMap.size();
    }
    const std::vector<Symbolized> answers = map_.Symbolize(inMap);
    if (lineByLine_) {
      const bool allInCode = AppendLines(pending_, refs, 0, refs.size(), answers, 0);
      LineDone();
      return allInCode;
    }
    // Many lines are written out on all processors, each share into its own
    // text; the texts then go out in order.
    constexpr std::size_t kLeastLinesPerShare = 4096;
    std::vector<std::string> texts(ShareCount(refs.size(), kLeastLinesPerShare));
    std::vector<char> allInCode(texts.size(), 1);
    RunInShares(refs.size(), kLeastLinesPerShare, [&](std::size_t k, std::size_t from, std::size_t to) {
      allInCode[k] = AppendLines(texts[k], refs, from, to, answers, answersBefore[from]);
    });
    Flush();
    for (const std::string& text : texts) out_.write(text.data(), static_cast<std::streamsize>(text.size()));
    return std::all_of(allInCode.begin(), allInCode.end(), [](char inCode) { return inCode != 0; });
  }

  // Every address of the report that lies in code, each once, in order of
  // first appearance; true when there was one, else why not in `why`. Of
  // the Delphi run-time's texts (RuntimeReportOutput.h), one of another
  // module is skipped with a line on err, the answer of an exception's names
  // its class and message.
  bool PrintReport(std::string_view report, std::ostream& err, std::string& why, std::string& skipped) {
    // An event's fault in another module is said, naming both.
    const std::string faulting = FaultingModule(report);
    if (!faulting.empty() && !module_.empty() && !IsModule(faulting, module_))
      skipped = "the event's faulting module is " + faulting + ", not " + ShownModule(report) +
                ": its fault offset is skipped";
    std::unordered_set<uint64_t> printed;
    std::vector<AddressRef> refs;
    std::size_t others = 0, outside = 0;
    const std::vector<RuntimeMessage> messages = DelphiRuntimeMessages(report);
    for (const ReportAddress& found : ScanReport(report, messages)) {
      const AddressRef& ref = found.ref;
      if (OfAnotherModule(ref)) {
        ++others;
        if (found.message) PrintOtherModuleText(err, report, messages[*found.message], module_);
        continue;
      }
      const uint64_t shown = Preferred(ref);
      if (!map_.InCode(InMap(shown))) {
        ++outside;
      } else if (printed.insert(shown).second) {
        refs.push_back(ref);
        notes_.push_back(found.message ? &messages[*found.message] : nullptr);
      }
    }
    PrintAll(refs);
    notes_.clear();
    if (refs.empty()) why = NothingFound(report, others, outside);
    return !refs.empty();
  }

  // A JSON object in place of an answer: {"address":"TEXT","error":"WHY"}.
  void PrintBad(const std::string& text, const std::string& why) {
    if (!options_.json) return;
    pending_ += "{\"address\":";
    AppendJsonString(pending_, text);
    pending_ += ",\"error\":";
    AppendJsonString(pending_, why);
    pending_ += "}\n";
    Flush();
  }

 private:
  static constexpr std::size_t kPieceSize = std::size_t{1} << 16;

  // The lines of refs[from, to) into text, the answers of those in this
  // MAP file's module from answers[firstAnswer] on; true when all lie in
  // code.
  bool AppendLines(std::string& text, const std::vector<AddressRef>& refs, std::size_t from, std::size_t to,
                   const std::vector<Symbolized>& answers, std::size_t firstAnswer) const {
    bool allInCode = true;
    std::size_t next = firstAnswer;
    for (std::size_t i = from; i < to; ++i) {
      if (OfAnotherModule(refs[i])) {
        AppendOfAnotherModule(text, refs[i]);
        allInCode = false;
      } else {
        const Symbolized& answer = answers[next++];
        if (options_.json) {
          AppendJsonLine(text, Preferred(refs[i]), answer, options_.names);
        } else {
          AppendPlainLine(text, Preferred(refs[i]), answer, options_.names);
        }
        if (i < notes_.size() && notes_[i]) AppendRuntimeMessage(text, *notes_[i], options_.json);
        allInCode = answer.inCode && allInCode;
      }
    }
    return allInCode;
  }

  // The MAP file's module as the report writes it (Project1.exe for Project1).
  std::string ShownModule(std::string_view report) const {
    if (module_.empty()) return "the MAP file's module";
    for (const std::string& named : ModulesInReport(report))
      if (IsModule(named, module_)) return std::string(ModuleFileName(named));
    return module_;
  }

  // The module an event's "Faulting module name:" names, else empty.
  static std::string FaultingModule(std::string_view report) {
    static constexpr std::string_view kLabel = "faulting module name:";
    const std::string lower = LowerCase(std::string(report));
    const size_t at = lower.find(kLabel);
    if (at == std::string::npos) return {};
    const std::string_view rest = report.substr(at + kLabel.size());
    return std::string(Trimmed(rest.substr(0, rest.find_first_of(",\r\n"))));
  }

  // The one line that says why a report gave no answer.
  std::string NothingFound(std::string_view report, std::size_t others, std::size_t outside) const {
    if (report.find_first_not_of(" \t\r\n") == std::string_view::npos) return "the report is empty";
    std::string why = "no address of " + ShownModule(report) + " found in the report";
    std::string counts;
    if (others > 0)
      counts += std::to_string(others) + (others == 1 ? " address" : " addresses") + " of other modules skipped";
    if (outside > 0)
      counts += (counts.empty() ? "" : ", ") + std::to_string(outside) + (outside == 1 ? " address" : " addresses") +
                " outside its code";
    if (!counts.empty()) why += " (" + counts + ")";
    return why;
  }

  void AppendOfAnotherModule(std::string& text, const AddressRef& ref) const {
    const std::string written = ref.module + "+0x" + Hex(ref.value, 1);
    if (options_.json) {
      text += "{\"address\":";
      AppendJsonString(text, written);
      text += ",\"module\":";
      AppendJsonString(text, ref.module);
      AppendJsonSymbolFields(text, Symbolized{}, options_.names);
      text += "}\n";
    } else {
      text += written + " (in another module than " + module_ + ")\n";
    }
  }

  // Lines are complete in pending_: shown now on a terminal, else written
  // once enough have gathered.
  void LineDone() {
    if (lineByLine_) {
      Flush();
    } else if (pending_.size() >= kPieceSize) {
      out_.write(pending_.data(), static_cast<std::streamsize>(pending_.size()));
      pending_.clear();
    }
  }

  const SymbolMap& map_;
  const SymbolizeOptions& options_;
  const std::string& module_;
  std::ostream& out_;
  const bool lineByLine_;
  std::string pending_;
  std::vector<const RuntimeMessage*> notes_;  // per address of PrintReport: its run-time text (null: none)
  uint64_t fileBase_;
  uint64_t preferredBase_;
};

// The most addresses read before they are answered together (their answers
// are held until then: about 128 bytes each).
constexpr std::size_t kAddressBatch = std::size_t{1} << 14;

// The map a run reads is kept until the process ends, which gives its
// memory back at once: freeing a large map block by block first costs about
// a tenth of the run. (It stays reachable, so leak checkers do not count it;
// a later map takes its place.)
const SymbolMap& KeptUntilExit(SymbolMap map) {
  static auto* const kept = new std::unique_ptr<SymbolMap>();
  *kept = std::make_unique<SymbolMap>(std::move(map));
  return **kept;
}


// While it lives, reading `in` flushes no other stream (std::cin is tied to
// std::cout, which would then be flushed before every line read).
class Untied {
 public:
  explicit Untied(std::istream& in) : in_(in), tie_(in.tie(nullptr)) {}
  ~Untied() { in_.tie(tie_); }
  Untied(const Untied&) = delete;
  Untied& operator=(const Untied&) = delete;

 private:
  std::istream& in_;
  std::ostream* tie_;
};

}  // namespace

SymbolizeOptions SymbolizeOptionsOf(const ParsedArgs& parsed) {
  SymbolizeOptions options;
  options.json = parsed.Has("--json");
  options.rva = parsed.Has("--rva");
  options.scan = parsed.Has("--scan");
  options.allThreads = parsed.Has("--all-threads");
  options.native = parsed.Has("--native");
  options.minidump = parsed.Value("--minidump");
  options.images = parsed.Values("--image");
  options.imagesDir = parsed.Value("--images");
  options.module = parsed.Value("--module");
  options.report = parsed.Value("--report");
  if (parsed.Has("--short-names")) options.names = FunctionNames::Short;
  if (parsed.Has("--no-demangle")) options.names = FunctionNames::Linker;
  // The table checks that these are addresses.
  if (const auto base = parsed.Value("--base")) options.base = ParseAddress(*base)->value;
  if (const auto base = parsed.Value("--image-base")) options.imageBase = ParseAddress(*base)->value;
  return options;
}

int PrintSymbolized(const SymbolMap& map, const SymbolizeOptions& options, const Args& addresses,
                    const std::string* reportText, std::istream& in, std::ostream& out, std::ostream& err) {
  const std::string module = options.module.value_or(std::string());
  Printer printer(map, options, module, out);
  if (reportText) {
    std::string why, skipped;
    const bool any = printer.PrintReport(*reportText, err, why, skipped);
    printer.Flush();
    if (!skipped.empty()) PrintError(err, skipped);
    if (!any) PrintError(err, why);
    return any ? kExitOk : kExitNotAllFound;
  }
  // Addresses are answered in batches (one at a time when each answer is
  // shown at once); a line that is no address ends the batch before it, so
  // that its error comes out in its place.
  const std::size_t batchSize = printer.LineByLine() ? 1 : kAddressBatch;
  std::vector<AddressRef> batch;
  bool allInCode = true;
  const auto printBatch = [&] {
    allInCode = printer.PrintAll(batch) && allInCode;
    batch.clear();
  };
  const auto add = [&](const AddressRef& ref) {
    batch.push_back(ref);
    if (batch.size() >= batchSize) printBatch();
  };
  // One rule for an address given on the command line and one read from
  // standard input: trimmed, and a bad one reported in its place.
  const auto take = [&](std::string_view line) {
    const std::optional<AddressRef> ref = ParseAddress(line);
    if (ref) {
      add(*ref);
      return;
    }
    printBatch();
    printer.Flush();
    PrintError(err, "not an address: \"" + std::string(line) + "\"");
    printer.PrintBad(std::string(line), "not an address");
    allInCode = false;
  };
  for (const std::string& address : addresses) {
    if (address != "-") {
      take(Trimmed(address));
      continue;
    }
    std::optional<Untied> untied;
    if (!printer.LineByLine()) untied.emplace(in);
    std::string text;
    while (std::getline(in, text)) {
      const std::string_view line = Trimmed(text);
      if (!line.empty()) take(line);
    }
  }
  printBatch();
  printer.Flush();
  return allInCode ? kExitOk : kExitNotAllFound;
}

int SymbolizeFile(const std::string& command, const std::string& mapFile, const SymbolizeOptions& options,
                  const Args& addresses, std::istream& in, std::ostream& out, std::ostream& err) {
  SymbolizeOptions own = options;
  if (!own.module) own.module = MapModuleName(mapFile);
  if (const int status = CheckMinidumpOptions(command, options, addresses, err)) return status;
  if (options.minidump) return SymbolizeMinidump(command, mapFile, *own.module, own, out, err);
  if (options.report && !addresses.empty())
    return UsageError(err, command + ": --report takes no addresses");
  if (!options.report && addresses.empty())
    return UsageError(err, command + ": an address or --report FILE is needed");
  try {
    std::optional<std::string> report;
    if (options.report) {
      if (*options.report == "-") {
        report = ReportText(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
      } else {
        report = ReportText(PlatformFileSystem().ReadWholeFile(*options.report));
      }
    }
    const SymbolMap& map = KeptUntilExit(SymbolMap::Load(mapFile));
    if (!map.HasSegmentTable()) {
      PrintError(err, command + ": " + mapFile + " is not a MAP file with a segment table");
      return kExitUsage;
    }
    if (const std::string lacks = MapLacks(map, mapFile); !lacks.empty()) PrintError(err, command + ": " + lacks);
    return PrintSymbolized(map, own, addresses, report ? &*report : nullptr, in, out, err);
  } catch (const Exception& e) {
    PrintException(err, e);
    return kExitUsage;
  } catch (const std::bad_alloc&) {
    PrintError(err, "not enough memory to load \"" + mapFile + "\"");
    return kExitUsage;
  }
}

int RunSymbolize(const Args& args, std::istream& in, std::ostream& out, std::ostream& err) {
  ParsedArgs parsed;
  if (const int status = ParseArgs(*FindCommand("symbolize"), args, parsed, err)) return status;
  const Args& operands = parsed.operands;
  if (operands.empty()) return UsageError(err, "symbolize: a MAP file is needed");
  const Args addresses(operands.begin() + 1, operands.end());
  return SymbolizeFile("symbolize", operands[0], SymbolizeOptionsOf(parsed), addresses, in, out, err);
}

}  // namespace qf::cli
