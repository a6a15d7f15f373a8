// quillfen-cli symbolize --minidump and db symbolize --minidump: the stack of
// the crashed thread (or of every thread) of a Windows minidump, each frame
// named by its module and, where the module has a MAP file, by what
// symbolize prints for it, read at the module's load base.
#include <algorithm>
#include <iostream>
#include <memory>
#include <new>
#include <set>

#include "Commands.h"
#include "DumpImages.h"
#include "FunctionSpans.h"
#include "LanguageExceptionOutput.h"
#include "SymbolizedOutput.h"
#include "base/Errors.h"
#include "base/PathRules.h"
#include "base/TextRules.h"
#include "crash/MinidumpReader.h"
#include "crash/ModuleName.h"
#include "crash/StackWalk.h"
#include "crash/Wow64View.h"
#include "image/PeExports.h"
#include "StoredBuilds.h"
#include "db/U_MAPDb.h"
#include "map/SymbolMap.h"

namespace qf::cli {
namespace {

// The dump read in place: its file stays open for the bytes of the stacks.
class LoadedDump {
 public:
  explicit LoadedDump(const std::string& path) : dump_(ReadDump(path)) {}
  LoadedDump(const LoadedDump&) = delete;
  LoadedDump& operator=(const LoadedDump&) = delete;
  const Minidump& Dump() const { return dump_; }

  // What a dump cut short left out, on standard error.
  void PrintLeftOut(const std::string& path, std::ostream& err) const {
    for (const std::string& what : dump_.leftOut)
      PrintError(err, "\"" + path + "\": damaged minidump: " + what + " (left out)");
  }

 private:
  static Minidump ReadDump(const std::string& path) {
    try {
      return ReadMinidump(PlatformFileSystem().OpenRandomAccess(path));
    } catch (const MinidumpError& e) {
      throw Exception("\"" + path + "\": " + e.what());
    }
  }
  const Minidump dump_;
};

struct ModuleMap {
  std::string file;
  SymbolMap map;
  mutable std::unique_ptr<FunctionSpans> spans;  // made when a walk first asks
  const FunctionSpans& Spans() const {
    if (!spans) spans = std::make_unique<FunctionSpans>(map);
    return *spans;
  }
};

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

// One way to see the dump's threads: the dump itself, or the 32-bit view of
// a 64-bit dump of a 32-bit process; with the MAP file and the image of
// each of its modules.
struct DumpSide {
  const Minidump* dump = nullptr;
  std::vector<size_t> moduleOf;            // each module's index in the dump as read
  std::vector<const ModuleMap*> maps;      // per module (null: no MAP file)
  std::vector<const ModuleImage*> images;  // per module (null: no image)

  size_t IndexOf(const MinidumpModule& module) const { return size_t(&module - dump->modules.data()); }
  const ModuleMap* MapOf(const MinidumpModule* module) const { return module ? maps[IndexOf(*module)] : nullptr; }
  int Digits() const { return int(dump->WordSize()) * 2; }

  // Without a MAP file: the exported function of the module's image at or
  // below the address (the exports read when first asked).
  std::optional<std::pair<uint64_t, uint64_t>> ExportedAt(const MinidumpModule* module, uint64_t address) const {
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
  mutable std::vector<std::optional<std::vector<std::pair<uint32_t, uint32_t>>>> exports;
};

// The dump as read (its modules in their order, through the identity).
DumpSide NativeSide(const Minidump& dump) {
  DumpSide side;
  side.dump = &dump;
  for (size_t i = 0; i < dump.modules.size(); ++i) side.moduleOf.push_back(i);
  return side;
}

// The 32-bit view, its modules those of the dump as read at view.moduleOf.
DumpSide ViewSide(const Wow64View& view) {
  DumpSide side;
  side.dump = &view.dump;
  side.moduleOf = view.moduleOf;
  return side;
}

// The walk of a thread, in the side it was walked in; whyNative: why a
// thread of a 64-bit dump of a 32-bit process was walked as a 64-bit one.
struct ThreadWalk {
  ThreadFrames walk;
  const DumpSide* side = nullptr;
  std::string whyNative;
};

class DumpPrinter {
 public:
  // view: the 32-bit view where it is shown (null: the dump as read).
  DumpPrinter(const DumpSide& native, const DumpSide* view, const Wow64View* wow64, const SymbolizeOptions& options)
      : native_(native), view_(view), wow64_(wow64), options_(options) {}

  // The side the dump's own answers (modules, exception) are given in.
  const DumpSide& Main() const { return view_ ? *view_ : native_; }

  // Every thread when asked, and when the dump has no exception (a hang:
  // no crashed thread to choose); else the crashing thread. The crashing
  // thread first, walked from the exception's context; in the 32-bit view
  // each thread that has one, the others as 64-bit threads.
  std::vector<ThreadWalk> Walk() const {
    const Minidump& dump = *native_.dump;
    std::vector<ThreadWalk> walks;
    const MinidumpThread* crashing = nullptr;
    if (dump.exception) {
      crashing = dump.Thread(dump.exception->threadId);
      if (crashing && InView(*crashing)) {
        walks.push_back(WalkInView(*crashing));
      } else {
        ThreadWalk walk{{dump.exception->threadId, {}}, &native_, {}};
        if (dump.exception->registers)
          walk.walk.frames = WalkStack(dump, crashing ? crashing->stack : MinidumpMemory{},
                                       *dump.exception->registers, WalkOptions(native_));
        if (view_) walk.whyNative = crashing ? WhyNot(*crashing) : "the dump holds no such thread";
        walks.push_back(std::move(walk));
      }
      ReachRaise(walks.front());
    }
    if (!AllThreads()) return walks;
    for (const MinidumpThread& thread : dump.threads) {
      if (&thread == crashing) continue;
      if (InView(thread)) {
        walks.push_back(WalkInView(thread));
        continue;
      }
      ThreadWalk walk{{thread.id, {}}, &native_, view_ ? WhyNot(thread) : std::string()};
      if (thread.registers) walk.walk.frames = WalkStack(dump, thread.stack, *thread.registers, WalkOptions(native_));
      walks.push_back(std::move(walk));
    }
    return walks;
  }

  // The address in the MAP file's layout: address - load base + its image base.
  static uint64_t InMap(const MinidumpModule& module, const ModuleMap& map, uint64_t address) {
    return address - module.base + map.map.ImageBase();
  }

  // A caller frame holds a return address, the instruction after its call:
  // its function and line are those of the byte before, the call itself
  // (a call that ends a function is answered with that function, not the
  // next). The address and the offset into the function stay those of the
  // return address. Frame 0 and a context's address are looked up as they are.
  static FrameAnswer Answer(const DumpSide& side, const StackFrame& frame) {
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

  // Prints the walks; the exit status.
  int Print(const std::vector<ThreadWalk>& walks, std::ostream& out) const {
    bool answered = false;
    for (const ThreadWalk& walk : walks)
      for (const StackFrame& frame : walk.walk.frames) answered = Answer(*walk.side, frame).Answered() || answered;
    if (options_.json) {
      PrintJson(walks, out);
    } else {
      PrintText(walks, out);
    }
    out.flush();
    return answered ? kExitOk : kExitNotAllFound;
  }

 private:
  bool AllThreads() const { return options_.allThreads || !native_.dump->exception; }
  size_t NativeIndex(const MinidumpThread& thread) const { return size_t(&thread - native_.dump->threads.data()); }
  bool InView(const MinidumpThread& thread) const { return view_ && wow64_->HasThread(NativeIndex(thread)); }
  const std::string& WhyNot(const MinidumpThread& thread) const { return wow64_->whyNot[NativeIndex(thread)]; }

  ThreadWalk WalkInView(const MinidumpThread& thread) const {
    // The view holds the threads that have one in the dump's order.
    size_t before = 0;
    for (size_t i = 0; i < NativeIndex(thread); ++i) before += wow64_->HasThread(i) ? 1 : 0;
    const MinidumpThread& x86 = view_->dump->threads[before];
    return {{x86.id, WalkStack(*view_->dump, x86.stack, *x86.registers, WalkOptions(*view_))}, view_, {}};
  }

  // The language exception of the side's dump, and its raising frame
  // reached (LanguageExceptionOutput.h).
  static std::optional<LanguageException> Language(const DumpSide& side) {
    return DumpLanguageException(*side.dump, [&side](const MinidumpModule& m) { return side.images[side.IndexOf(m)]; });
  }
  static NameAddress Namer(const DumpSide& side) {
    return [&side](uint64_t address) {
      const FrameAnswer answer = Answer(side, StackFrame{address, StackFrame::FoundBy::Exception, 0, std::nullopt});
      return NamedAddress{answer.module, answer.map != nullptr, answer.symbolized};
    };
  }
  void ReachRaise(ThreadWalk& walk) const {
    const MinidumpThread* thread = walk.side->dump->Thread(walk.walk.threadId);
    if (const auto language = Language(*walk.side))
      ReachRaiseFrame(*walk.side->dump, *language, thread ? thread->stack : MinidumpMemory{}, WalkOptions(*walk.side),
                      walk.walk.frames);
  }

  StackWalkOptions WalkOptions(const DumpSide& side) const {
    StackWalkOptions walk;
    walk.scan = options_.scan;
    walk.inCode = [&side](uint64_t address) {
      const MinidumpModule* module = side.dump->ModuleAt(address);
      if (!module) return false;
      const ModuleMap* map = side.MapOf(module);
      return !map || map->map.InCode(InMap(*module, *map, address));
    };
    walk.imageOf = [&side](const MinidumpModule& module) { return side.images[side.IndexOf(module)]; };
    walk.functionAt = [&side](uint64_t address) -> std::optional<std::pair<uint64_t, uint64_t>> {
      const MinidumpModule* module = side.dump->ModuleAt(address);
      const ModuleMap* map = side.MapOf(module);
      if (!map) return side.ExportedAt(module, address);
      const auto span = map->Spans().At(InMap(*module, *map, address));
      if (!span) return std::nullopt;
      const uint64_t shift = module->base - map->map.ImageBase();
      return std::make_pair(span->first + shift, span->second + shift);
    };
    return walk;
  }

  static std::string Address(const DumpSide& side, uint64_t value) { return "0x" + Hex(value, side.Digits()); }

  // The side of the exception's thread, the first walk.
  const DumpSide& ExceptionSide(const std::vector<ThreadWalk>& walks) const {
    return walks.empty() ? Main() : *walks.front().side;
  }

  void PrintText(const std::vector<ThreadWalk>& walks, std::ostream& out) const {
    if (view_) {
      out << "A 64-bit dump of a 32-bit process (WOW64): ";
      if (view_->dump->threads.empty())
        out << "no thread's 32-bit state is in the dump; the 64-bit view is shown\n";
      else
        out << "the 32-bit view is shown (--native shows the 64-bit one)\n";
    }
    if (const auto language = Language(ExceptionSide(walks))) {
      PrintLanguageExceptionText(out, *language, native_.dump->exception->code, native_.dump->exception->threadId,
                                 ExceptionSide(walks).Digits(), Namer(ExceptionSide(walks)));
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
      const ThreadWalk& walk = walks[t];
      if (t > 0 || !walk.whyNative.empty()) {
        out << "Thread " << walk.walk.threadId;
        if (!walk.whyNative.empty()) out << " (64-bit view: " << walk.whyNative << ')';
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
            PrintAfterAddress(out, answer.symbolized);
          }
        }
        if (frame.foundBy == StackFrame::FoundBy::Scan) out << " [scan]";
        if (frame.foundBy == StackFrame::FoundBy::Exception) out << " [exception]";
        out << '\n';
      }
    }
  }

  static void PrintJsonFrames(const ThreadWalk& walk, std::ostream& out) {
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
      PrintJsonSymbolFields(out, answer.symbolized);
      out << '}';
    }
    out << ']';
  }

  // In the 32-bit view: whether the thread was walked in it, else why not.
  void PrintJsonView(const ThreadWalk& walk, std::ostream& out) const {
    if (!view_) return;
    out << ",\"wow64\":" << (walk.whyNative.empty() ? "true" : "false");
    if (!walk.whyNative.empty()) JsonField(out, "why_64_bit", walk.whyNative);
  }

  void PrintJson(const std::vector<ThreadWalk>& walks, std::ostream& out) const {
    const DumpSide& main = Main();
    out << '{';
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
      if (const auto language = Language(side)) PrintLanguageExceptionJson(out, *language, side.Digits(), Namer(side));
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
      PrintJsonFrames(walks.front(), out);
    if (AllThreads()) {
      out << ",\"threads\":[";
      for (size_t t = 1; t < walks.size(); ++t) {
        out << (t > 1 ? "," : "") << "{\"id\":" << walks[t].walk.threadId;
        PrintJsonView(walks[t], out);
        out << ",\"frames\":";
        PrintJsonFrames(walks[t], out);
        out << '}';
      }
      out << ']';
    }
    out << "}\n";
  }

  const DumpSide& native_;
  const DumpSide* view_;
  const Wow64View* wow64_;
  const SymbolizeOptions& options_;
};

// The 32-bit view of a 64-bit dump of a 32-bit process, unless --native.
std::optional<Wow64View> ShownView(const Minidump& dump, const SymbolizeOptions& options) {
  if (options.native || !IsWow64Dump(dump)) return std::nullopt;
  return ReadWow64View(dump);
}

// The sides of a read dump: the dump itself and, for a 64-bit dump of a
// 32-bit process unless --native, its 32-bit view; the MAP files are given
// per module of the dump as read, the images are read for the modules of
// the side shown (stored: the image kept in the database for each module of
// the dump as read).
class DumpSides {
 public:
  // view: ShownView's.
  DumpSides(const std::string& command, const Minidump& dump, std::optional<Wow64View> view,
            const SymbolizeOptions& options, std::ostream& err, const std::vector<std::unique_ptr<ModuleMap>>& maps,
            const std::vector<std::string>& stored = {})
      : native_(NativeSide(dump)), wow64_(std::move(view)) {
    if (wow64_) view_ = ViewSide(*wow64_);
    DumpSide& main = view_ ? *view_ : native_;
    std::vector<std::string> mainStored;
    if (!stored.empty())
      for (const size_t i : main.moduleOf) mainStored.push_back(stored[i]);
    images_ = std::make_unique<DumpImages>(command, *main.dump, options, err, mainStored);
    for (DumpSide* side : {&native_, view_ ? &*view_ : nullptr}) {
      if (!side) continue;
      for (size_t i = 0; i < side->moduleOf.size(); ++i) {
        side->maps.push_back(maps[side->moduleOf[i]].get());
        side->images.push_back(side == &main ? images_->PerModule()[i].get() : nullptr);
      }
    }
  }
  DumpSides(const DumpSides&) = delete;
  DumpSides& operator=(const DumpSides&) = delete;

  DumpPrinter Printer(const SymbolizeOptions& options) const {
    return DumpPrinter(native_, view_ ? &*view_ : nullptr, wow64_ ? &*wow64_ : nullptr, options);
  }
  const DumpSide& Main() const { return view_ ? *view_ : native_; }

 private:
  DumpSide native_;
  std::optional<Wow64View> wow64_;
  std::optional<DumpSide> view_;
  std::unique_ptr<DumpImages> images_;
};

// Runs body, turning a file that cannot be read into its message and exit 2.
template <typename Body>
int Guarded(const std::string& what, std::ostream& err, Body body) {
  try {
    return body();
  } catch (const Exception& e) {
    PrintException(err, e);
  } catch (const std::bad_alloc&) {
    PrintError(err, "not enough memory to read " + what);
  }
  return kExitUsage;
}

std::unique_ptr<ModuleMap> LoadMap(const std::string& file) {
  return std::make_unique<ModuleMap>(ModuleMap{file, SymbolMap::Load(file), nullptr});
}

std::string NoSegmentTable(const std::string& file) { return file + " is not a MAP file with a segment table"; }

// The stored MAP file of a module: the project named like the module's file
// without extension, its stored build whose identity is the module's, else
// its stored version `version` (names compared without regard to case) when
// no .build file contradicts it (or anyBuild). note says which was used, or
// why there is none.
std::unique_ptr<ModuleMap> StoredMap(const TMapDB& db, const std::vector<std::string>& projects,
                                     const MinidumpModule& module, const std::string& version, bool program,
                                     bool anyBuild, std::ostream& err, std::string& note, std::string& image) {
  const std::string name(WithoutExtension(module.Name()));
  const auto project =
      std::find_if(projects.begin(), projects.end(), [&](const std::string& p) { return SameText(p, name); });
  if (project == projects.end()) {
    note = "no project " + name + " in the database";
    return nullptr;
  }
  const uint32_t size = uint32_t(module.size);
  const std::vector<StoredBuild> builds = ReadStoredBuilds(db, *project, "db symbolize", err);
  const StoredBuild* chosen = nullptr;
  for (const StoredBuild& build : builds)
    if (!chosen && build.identity && build.identity->SameBuild(module.timeDateStamp, size)) chosen = &build;
  std::string checked;
  if (!chosen) {
    // The identity the dump names, for the messages.
    const std::string build = "build " + SymbolServerKey(module.timeDateStamp, size);
    if (version.empty()) {
      note = "no stored " + build + " of project " + *project + ", and the dump gives no file version of it" +
             std::string(program ? "; give --build-version X.Y.Z.W" : "");
      return nullptr;
    }
    chosen = FindStoredVersion(builds, version);
    if (!chosen) {
      note = "no stored version " + version + " (" + build + ") of project " + *project;
      note += builds.empty() ? " (it has no stored versions)" : "; stored versions: " + VersionList(builds);
      return nullptr;
    }
    if (!chosen->identity) {
      checked = "; the build could not be checked (no .build file)";
    } else if (!anyBuild) {
      note = "version " + chosen->version + " of project " + *project + " is stored for another build (" +
             chosen->identity->CodeId() + ", the dump's " + build + "); --any-build takes it";
      return nullptr;
    } else {
      checked = "; another build (" + chosen->identity->CodeId() + ", the dump's " + build + ") taken by --any-build";
    }
  }
  const std::string file = db.GetVersionPath(*project, chosen->version + ".map");
  std::unique_ptr<ModuleMap> map = LoadMap(file);
  if (!map->map.HasSegmentTable()) {
    note = NoSegmentTable(file);
    return nullptr;
  }
  note = "project " + *project + ", version " + chosen->version + checked;
  // The executable db add-build kept with it (named by the .build file's module).
  if (chosen->identity) {
    const std::string extension = LowerCase(ExtractFileExt(chosen->identity->module));
    if (TMapDB::IsImageExtension(extension)) {
      const std::string path = db.GetImagePath(*project, chosen->version, extension);
      if (PlatformFileSystem().FileExists(path)) image = path;
    }
  }
  return map;
}

}  // namespace

int CheckMinidumpOptions(const std::string& command, const SymbolizeOptions& options, const Args& addresses,
                         std::ostream& err) {
  if (!options.minidump) {
    if (options.scan || options.allThreads || options.native)
      return UsageError(err, command + ": " + (options.scan ? "--scan" : options.allThreads ? "--all-threads" : "--native") +
                                 " needs --minidump");
    if (!options.images.empty() || options.imagesDir)
      return UsageError(err, command + ": " + (options.imagesDir ? "--images" : "--image") + " needs --minidump");
    return kExitOk;
  }
  if (!addresses.empty()) return UsageError(err, command + ": --minidump takes no addresses");
  if (options.report) return UsageError(err, command + ": --minidump and --report exclude each other");
  if (options.rva || options.base || options.imageBase)
    return UsageError(err, command + ": --minidump takes the load bases from the dump, not --rva, --base, --image-base");
  return kExitOk;
}

int SymbolizeMinidump(const std::string& command, const std::string& mapFile, const std::string& module,
                      const SymbolizeOptions& options, std::ostream& out, std::ostream& err) {
  return Guarded("\"" + *options.minidump + "\"", err, [&] {
    const LoadedDump loaded(*options.minidump);
    const Minidump& dump = loaded.Dump();
    loaded.PrintLeftOut(*options.minidump, err);
    std::vector<std::unique_ptr<ModuleMap>> maps(dump.modules.size());
    // The MAP file's module among the modules of the side shown (in the
    // 32-bit view: the 32-bit ntdll.dll, not the 64-bit one).
    std::optional<Wow64View> view = ShownView(dump, options);
    const std::vector<MinidumpModule>& shown = view ? view->dump.modules : dump.modules;
    size_t found = 0;
    while (found < shown.size() && !IsModule(shown[found].path, module)) ++found;
    if (found == shown.size()) {
      PrintError(err, command + ": no module " + module + " in \"" + *options.minidump + "\"; its modules:");
      for (const MinidumpModule& m : shown) err << "  " << m.Name() << '\n';
      return kExitUsage;
    }
    if (view) found = view->moduleOf[found];
    maps[found] = LoadMap(mapFile);
    // Refused as by symbolize.
    if (!maps[found]->map.HasSegmentTable()) throw Exception(command + ": " + NoSegmentTable(mapFile));
    const DumpSides sides(command, dump, std::move(view), options, err, maps);
    const DumpPrinter printer = sides.Printer(options);
    return printer.Print(printer.Walk(), out);
  });
}

int DbSymbolizeMinidump(const TMapDB& db, const SymbolizeOptions& options, const std::string& versionGiven,
                        bool anyBuild, std::ostream& out, std::ostream& err) {
  return Guarded("\"" + *options.minidump + "\"", err, [&] {
    const LoadedDump loaded(*options.minidump);
    const Minidump& dump = loaded.Dump();
    loaded.PrintLeftOut(*options.minidump, err);
    std::vector<std::string> projects;
    db.GetProjects(projects);
    // Each module's stored MAP file, or why it has none.
    std::vector<std::unique_ptr<ModuleMap>> maps(dump.modules.size());
    std::vector<std::string> notes(dump.modules.size()), stored(dump.modules.size());
    for (size_t i = 0; i < dump.modules.size(); ++i) {
      const MinidumpModule& module = dump.modules[i];
      const std::string version = module.version ? *module.version : i == 0 ? versionGiven : std::string();
      maps[i] = StoredMap(db, projects, module, version, i == 0, anyBuild, err, notes[i], stored[i]);
    }
    const DumpSides sides("db symbolize", dump, ShownView(dump, options), options, err, maps, stored);
    const DumpPrinter printer = sides.Printer(options);
    const std::vector<ThreadWalk> walks = printer.Walk();
    // Each module that holds a frame, once, in the dump's order: the MAP file
    // it is answered from, or why it has none.
    std::set<size_t> holding;
    for (const ThreadWalk& walk : walks)
      for (const StackFrame& frame : walk.walk.frames)
        if (const MinidumpModule* module = walk.side->dump->ModuleAt(frame.address))
          holding.insert(walk.side->moduleOf[walk.side->IndexOf(*module)]);
    for (const size_t i : holding) {
      const std::string name(dump.modules[i].Name());
      PrintError(err, "db symbolize: " + (maps[i] ? name + ": " : "no MAP file for " + name + ": ") + notes[i]);
    }
    return printer.Print(walks, out);
  });
}

}  // namespace qf::cli
