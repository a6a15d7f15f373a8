// The text and the JSON object of a minidump's walk.
#include "DumpOutput.h"

#include <algorithm>

#include "DumpWarnings.h"
#include "LanguageExceptionOutput.h"
#include "SymbolizedOutput.h"
#include "image/PeExports.h"

namespace qf::cli {

std::unique_ptr<ModuleMap> LoadMap(const std::string& file) {
  return std::make_unique<ModuleMap>(ModuleMap{file, SymbolMap::Load(file), nullptr, std::nullopt});
}

std::string NoSegmentTable(const std::string& file) { return file + " is not a MAP file with a segment table"; }

std::optional<std::pair<uint64_t, uint64_t>> DumpSide::ExportedAt(const MinidumpModule* module, uint64_t address) const {
  if (!module) return std::nullopt;
  const size_t i = IndexOf(*module);
  if (!images[i]) return std::nullopt;
  if (exports.size() != dump->modules.size()) exports.resize(dump->modules.size());
  if (!exports[i]) exports[i] = PeExportedCode(images[i]->Image(), images[i]->Bytes());
  const uint64_t rva = address - module->base;
  const auto& spans = *exports[i];
  auto it = std::upper_bound(spans.begin(), spans.end(), rva,
                             [](uint64_t a, const std::pair<uint32_t, uint32_t>& s) { return a < s.first; });
  if (it == spans.begin() || rva >= (--it)->second) return std::nullopt;
  return std::make_pair(module->base + it->first, module->base + it->second);
}

namespace {

// What a frame turns into.
struct FrameAnswer {
  const MinidumpModule* module = nullptr;  // null: outside every module
  const ModuleMap* map = nullptr;          // null: the module has no MAP file
  Symbolized symbolized;
  bool Answered() const { return map && symbolized.inCode; }
};

const char* FoundByName(StackFrame::FoundBy by) {
  switch (by) {
    case StackFrame::FoundBy::Context: return "context";
    case StackFrame::FoundBy::FramePointer: return "frame_pointer";
    case StackFrame::FoundBy::Unwind: return "unwind";
    case StackFrame::FoundBy::Analysis: return "analysis";
    case StackFrame::FoundBy::Scan: return "scan";
    case StackFrame::FoundBy::Exception: return "exception";
  }
  return "scan";
}

// A caller frame holds a return address, the instruction after its call:
// its function and line are those of the byte before, the call itself
// (a call that ends a function is answered with that function, not the
// next). The address and the offset into the function stay those of the
// return address. Frame 0 and a context's address are looked up as they are.
FrameAnswer Answer(const DumpSide& side, const StackFrame& frame) {
  FrameAnswer answer;
  const uint64_t address = frame.address;
  answer.module = side.dump->ModuleAt(address);
  answer.map = side.MapOf(answer.module);
  if (!answer.map) return answer;
  const bool caller = frame.foundBy != StackFrame::FoundBy::Context && address > answer.module->base;
  const uint64_t shown = InMap(*answer.module, *answer.map, address);
  answer.symbolized = answer.map->map.Symbolize(caller ? shown - 1 : shown);
  if (caller) {
    answer.symbolized.address = shown;
    if (answer.symbolized.function) ++answer.symbolized.functionOffset;
  }
  return answer;
}

// The language exception of the side's dump (crash/RaiseWalk.h), and how
// its raise address is named (as a caller is).
std::optional<LanguageException> Language(const DumpSide& side) {
  return DumpLanguageException(*side.dump, [&side](const MinidumpModule& m) { return side.images[side.IndexOf(m)]; });
}
NameAddress Namer(const DumpSide& side) {
  return [&side](uint64_t address) {
    const FrameAnswer answer = Answer(side, StackFrame{address, StackFrame::FoundBy::Exception, 0, std::nullopt});
    return NamedAddress{answer.module, answer.map != nullptr, answer.symbolized};
  };
}

std::string Address(const DumpSide& side, uint64_t value) { return "0x" + Hex(value, side.Digits()); }

void PrintJsonFrames(const SideWalk& walk, FunctionNames names, std::ostream& out) {
  const std::vector<StackFrame>& frames = walk.walk.frames;
  out << '[';
  for (size_t i = 0; i < frames.size(); ++i) {
    const FrameAnswer answer = Answer(*walk.side, frames[i]);
    out << (i ? "," : "") << "{\"frame\":" << i << ",\"address\":\"" << Address(*walk.side, frames[i].address) << '"';
    JsonField(out, "module", answer.module ? std::optional<std::string_view>(answer.module->Name()) : std::nullopt);
    out << ",\"module_offset\":";
    if (answer.module) {
      out << frames[i].address - answer.module->base;
    } else {
      out << "null";
    }
    out << ",\"found_by\":\"" << FoundByName(frames[i].foundBy) << '"';
    if (frames[i].callTarget)
      out << ",\"call_target\":\"" << Address(*walk.side, *frames[i].callTarget) << '"';
    PrintJsonSymbolFields(out, answer.symbolized, names);
    out << '}';
  }
  out << ']';
}

}  // namespace

std::vector<std::string> DumpPrinter::Warnings() const {
  std::vector<std::string> warnings;
  const DumpSide& main = Main();
  for (size_t i = 0; i < main.dump->modules.size(); ++i)
    if (const ModuleMap* map = main.maps[i]) {
      const BuildIdentity* build = map->build ? &*map->build : nullptr;
      for (std::string& warning : DumpModuleWarnings(main.dump->modules[i], map->map, map->file, build))
        if (std::find(warnings.begin(), warnings.end(), warning) == warnings.end())
          warnings.push_back(std::move(warning));
    }
  return warnings;
}

int DumpPrinter::Print(const std::vector<SideWalk>& walks, std::ostream& out) const {
  bool answered = false;
  for (const SideWalk& walk : walks)
    for (const StackFrame& frame : walk.walk.frames) answered = Answer(*walk.side, frame).Answered() || answered;
  if (options_.json) {
    PrintJson(walks, out);
  } else {
    PrintText(walks, out);
  }
  out.flush();
  return answered ? kExitOk : kExitNotAllFound;
}

void DumpPrinter::PrintText(const std::vector<SideWalk>& walks, std::ostream& out) const {
  for (const std::string& warning : Warnings()) out << "warning: " << warning << '\n';
  if (view_) {
    out << "A 64-bit dump of a 32-bit process (WOW64): ";
    if (view_->dump->threads.empty())
      out << "no thread's 32-bit state is in the dump; the 64-bit view is shown\n";
    else
      out << "the 32-bit view is shown (--native shows the 64-bit one)\n";
  }
  if (const auto language = Language(ExceptionSide(walks))) {
    PrintLanguageExceptionText(out, *language, native_.dump->exception->code, native_.dump->exception->threadId,
                               ExceptionSide(walks).Digits(), Namer(ExceptionSide(walks)), options_.names);
  } else if (const auto& e = native_.dump->exception) {
    const DumpSide& side = ExceptionSide(walks);
    out << "Exception 0x" << Hex(e->code, 8);
    if (const auto name = ExceptionCodeName(e->code)) out << " (" << *name << ')';
    out << " at " << Address(side, e->address) << " in thread " << e->threadId;
    if (e->code == 0xC0000005 && e->parameters.size() >= 2) {
      const uint64_t kind = e->parameters[0];
      out << ": " << (kind == 0 ? "read of " : kind == 1 ? "write to " : "execution of ")
          << Address(side, e->parameters[1]);
    }
    out << '\n';
  } else {
    out << "No exception in the dump";
    if (!walks.empty()) out << "; thread " << walks.front().walk.threadId;
    out << '\n';
  }
  for (size_t t = 0; t < walks.size(); ++t) {
    const SideWalk& walk = walks[t];
    if (t > 0 || !walk.walk.whyNative.empty()) {
      out << "Thread " << walk.walk.threadId;
      if (!walk.walk.whyNative.empty()) out << " (64-bit view: " << walk.walk.whyNative << ')';
      out << '\n';
    }
    for (size_t i = 0; i < walk.walk.frames.size(); ++i) {
      const StackFrame& frame = walk.walk.frames[i];
      const FrameAnswer answer = Answer(*walk.side, frame);
      out << '#' << i << ' ' << Address(*walk.side, frame.address) << ' ';
      if (!answer.module) {
        out << "??";
      } else {
        out << answer.module->Name() << "+0x" << Hex(frame.address - answer.module->base, 1);
        if (answer.map) {
          out << ' ';
          PrintAfterAddress(out, answer.symbolized, options_.names);
        }
      }
      if (frame.foundBy == StackFrame::FoundBy::Scan) out << " [scan]";
      if (frame.foundBy == StackFrame::FoundBy::Exception) out << " [exception]";
      out << '\n';
    }
  }
}

// In the 32-bit view: whether the thread was walked in it, else why not.
void DumpPrinter::PrintJsonView(const SideWalk& walk, std::ostream& out) const {
  if (!view_) return;
  out << ",\"wow64\":" << (walk.walk.whyNative.empty() ? "true" : "false");
  if (!walk.walk.whyNative.empty()) JsonField(out, "why_64_bit", walk.walk.whyNative);
}

void DumpPrinter::PrintJson(const std::vector<SideWalk>& walks, std::ostream& out) const {
  const DumpSide& main = Main();
  out << '{';
  if (const std::vector<std::string> warnings = Warnings(); !warnings.empty()) {
    out << "\"warnings\":[";
    for (size_t i = 0; i < warnings.size(); ++i) {
      if (i) out << ',';
      JsonString(out, warnings[i]);
    }
    out << "],";
  }
  if (view_) out << "\"wow64\":true,";
  out << "\"exception\":";
  if (const auto& e = native_.dump->exception) {
    const DumpSide& side = ExceptionSide(walks);
    out << "{\"code\":\"0x" << Hex(e->code, 8) << '"';
    JsonField(out, "name", ExceptionCodeName(e->code));
    out << ",\"address\":\"" << Address(side, e->address) << "\",\"thread\":" << e->threadId << ",\"parameters\":[";
    for (size_t i = 0; i < e->parameters.size(); ++i)
      out << (i ? "," : "") << '"' << Address(side, e->parameters[i]) << '"';
    out << ']';
    if (const auto language = Language(side)) PrintLanguageExceptionJson(out, *language, side.Digits(), Namer(side), options_.names);
    out << '}';
  } else {
    out << "null";
  }
  out << ",\"modules\":[";
  for (size_t i = 0; i < main.dump->modules.size(); ++i) {
    const MinidumpModule& module = main.dump->modules[i];
    out << (i ? "," : "") << "{\"name\":";
    JsonString(out, module.Name());
    JsonField(out, "path", module.path);
    out << ",\"base\":\"" << Address(main, module.base) << "\",\"size\":" << module.size;
    JsonField(out, "version", module.version);
    JsonField(out, "map", main.maps[i] ? std::optional<std::string_view>(main.maps[i]->file) : std::nullopt);
    out << '}';
  }
  out << ']';
  if (view_ && !walks.empty()) {
    out << ",\"thread\":{\"id\":" << walks.front().walk.threadId;
    PrintJsonView(walks.front(), out);
    out << '}';
  }
  out << ",\"frames\":";
  if (walks.empty())
    out << "[]";
  else
    PrintJsonFrames(walks.front(), options_.names, out);
  if (WalksAllThreads(*native_.dump, options_.allThreads)) {
    out << ",\"threads\":[";
    for (size_t t = 1; t < walks.size(); ++t) {
      out << (t > 1 ? "," : "") << "{\"id\":" << walks[t].walk.threadId;
      PrintJsonView(walks[t], out);
      out << ",\"frames\":";
      PrintJsonFrames(walks[t], options_.names, out);
      out << '}';
    }
    out << ']';
  }
  out << "}\n";
}

}  // namespace qf::cli
