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
#include "SymbolizedOutput.h"
#include "base/Errors.h"
#include "base/PathRules.h"
#include "base/TextRules.h"
#include "crash/MinidumpReader.h"
#include "crash/ModuleName.h"
#include "crash/StackWalk.h"
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
  }
  return "scan";
}

class DumpPrinter {
 public:
  // maps: one per module of the dump, in its order (null: no MAP file);
  // images likewise (null: no image).
  DumpPrinter(const Minidump& dump, const std::vector<std::unique_ptr<ModuleMap>>& maps,
              const std::vector<std::unique_ptr<ModuleImage>>& images, const SymbolizeOptions& options)
      : dump_(dump), maps_(maps), images_(images), options_(options), digits_(int(dump.WordSize()) * 2) {}

  // The walks of the options: the crashing thread, or every thread.
  std::vector<ThreadFrames> Walk() const {
    StackWalkOptions walk;
    walk.scan = options_.scan;
    walk.inCode = [this](uint64_t address) {
      const MinidumpModule* module = dump_.ModuleAt(address);
      if (!module) return false;
      const ModuleMap* map = MapOf(module);
      return !map || map->map.InCode(InMap(*module, *map, address));
    };
    walk.imageOf = [this](const MinidumpModule& module) {
      return images_[size_t(&module - dump_.modules.data())].get();
    };
    walk.functionAt = [this](uint64_t address) -> std::optional<std::pair<uint64_t, uint64_t>> {
      const MinidumpModule* module = dump_.ModuleAt(address);
      const ModuleMap* map = MapOf(module);
      if (!map) return ExportedAt(module, address);
      const auto span = map->Spans().At(InMap(*module, *map, address));
      if (!span) return std::nullopt;
      const uint64_t shift = module->base - map->map.ImageBase();
      return std::make_pair(span->first + shift, span->second + shift);
    };
    return WalkThreads(dump_, walk, options_.allThreads);
  }

  // Without a MAP file: the exported function of the module's image at or
  // below the address.
  std::optional<std::pair<uint64_t, uint64_t>> ExportedAt(const MinidumpModule* module, uint64_t address) const {
    if (!module) return std::nullopt;
    const size_t i = size_t(module - dump_.modules.data());
    const ModuleImage* image = images_[i].get();
    if (!image) return std::nullopt;
    if (exports_.size() != dump_.modules.size()) exports_.resize(dump_.modules.size());
    if (!exports_[i]) exports_[i] = PeExportedCode(image->Image(), image->Bytes());
    const uint64_t rva = address - module->base;
    const auto& spans = *exports_[i];
    auto it = std::upper_bound(spans.begin(), spans.end(), rva,
                               [](uint64_t a, const std::pair<uint32_t, uint32_t>& s) { return a < s.first; });
    if (it == spans.begin() || rva >= (--it)->second) return std::nullopt;
    return std::make_pair(module->base + it->first, module->base + it->second);
  }

  const ModuleMap* MapOf(const MinidumpModule* module) const {
    return module ? maps_[size_t(module - dump_.modules.data())].get() : nullptr;
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
  FrameAnswer Answer(const StackFrame& frame) const {
    FrameAnswer answer;
    const uint64_t address = frame.address;
    answer.module = dump_.ModuleAt(address);
    answer.map = MapOf(answer.module);
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
  int Print(const std::vector<ThreadFrames>& walks, std::ostream& out) const {
    bool answered = false;
    for (const ThreadFrames& walk : walks)
      for (const StackFrame& frame : walk.frames) answered = Answer(frame).Answered() || answered;
    if (options_.json) {
      PrintJson(walks, out);
    } else {
      PrintText(walks, out);
    }
    out.flush();
    return answered ? kExitOk : kExitNotAllFound;
  }

 private:
  std::string Address(uint64_t value) const { return "0x" + Hex(value, digits_); }

  void PrintText(const std::vector<ThreadFrames>& walks, std::ostream& out) const {
    if (const auto& e = dump_.exception) {
      out << "Exception 0x" << Hex(e->code, 8);
      if (const auto name = ExceptionCodeName(e->code)) out << " (" << *name << ')';
      out << " at " << Address(e->address) << " in thread " << e->threadId;
      if (e->code == 0xC0000005 && e->parameters.size() >= 2) {
        const uint64_t kind = e->parameters[0];
        out << ": " << (kind == 0 ? "read of " : kind == 1 ? "write to " : "execution of ")
            << Address(e->parameters[1]);
      }
      out << '\n';
    } else {
      out << "No exception in the dump";
      if (!walks.empty()) out << "; thread " << walks.front().threadId;
      out << '\n';
    }
    for (size_t t = 0; t < walks.size(); ++t) {
      if (t > 0) out << "Thread " << walks[t].threadId << '\n';
      for (size_t i = 0; i < walks[t].frames.size(); ++i) {
        const StackFrame& frame = walks[t].frames[i];
        const FrameAnswer answer = Answer(frame);
        out << '#' << i << ' ' << Address(frame.address) << ' ';
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
        out << '\n';
      }
    }
  }

  void PrintJsonFrames(const std::vector<StackFrame>& frames, std::ostream& out) const {
    out << '[';
    for (size_t i = 0; i < frames.size(); ++i) {
      const FrameAnswer answer = Answer(frames[i]);
      out << (i ? "," : "") << "{\"frame\":" << i << ",\"address\":\"" << Address(frames[i].address) << '"';
      JsonField(out, "module", answer.module ? std::optional<std::string_view>(answer.module->Name()) : std::nullopt);
      out << ",\"module_offset\":";
      if (answer.module) {
        out << frames[i].address - answer.module->base;
      } else {
        out << "null";
      }
      out << ",\"found_by\":\"" << FoundByName(frames[i].foundBy) << '"';
      if (frames[i].callTarget) out << ",\"call_target\":\"" << Address(*frames[i].callTarget) << '"';
      PrintJsonSymbolFields(out, answer.symbolized);
      out << '}';
    }
    out << ']';
  }

  void PrintJson(const std::vector<ThreadFrames>& walks, std::ostream& out) const {
    out << "{\"exception\":";
    if (const auto& e = dump_.exception) {
      out << "{\"code\":\"0x" << Hex(e->code, 8) << '"';
      JsonField(out, "name", ExceptionCodeName(e->code));
      out << ",\"address\":\"" << Address(e->address) << "\",\"thread\":" << e->threadId << ",\"parameters\":[";
      for (size_t i = 0; i < e->parameters.size(); ++i) out << (i ? "," : "") << '"' << Address(e->parameters[i]) << '"';
      out << "]}";
    } else {
      out << "null";
    }
    out << ",\"modules\":[";
    for (size_t i = 0; i < dump_.modules.size(); ++i) {
      const MinidumpModule& module = dump_.modules[i];
      out << (i ? "," : "") << "{\"name\":";
      JsonString(out, module.Name());
      JsonField(out, "path", module.path);
      out << ",\"base\":\"" << Address(module.base) << "\",\"size\":" << module.size;
      JsonField(out, "version", module.version);
      JsonField(out, "map", maps_[i] ? std::optional<std::string_view>(maps_[i]->file) : std::nullopt);
      out << '}';
    }
    out << "],\"frames\":";
    PrintJsonFrames(walks.empty() ? std::vector<StackFrame>() : walks.front().frames, out);
    if (options_.allThreads) {
      out << ",\"threads\":[";
      for (size_t t = 1; t < walks.size(); ++t) {
        out << (t > 1 ? "," : "") << "{\"id\":" << walks[t].threadId << ",\"frames\":";
        PrintJsonFrames(walks[t].frames, out);
        out << '}';
      }
      out << ']';
    }
    out << "}\n";
  }

  const Minidump& dump_;
  const std::vector<std::unique_ptr<ModuleMap>>& maps_;
  const std::vector<std::unique_ptr<ModuleImage>>& images_;
  const SymbolizeOptions& options_;
  int digits_;
  mutable std::vector<std::optional<std::vector<std::pair<uint32_t, uint32_t>>>> exports_;
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
    if (options.scan || options.allThreads)
      return UsageError(err, command + ": " + (options.scan ? "--scan" : "--all-threads") + " needs --minidump");
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
    size_t found = 0;
    while (found < dump.modules.size() && !IsModule(dump.modules[found].path, module)) ++found;
    if (found == dump.modules.size()) {
      PrintError(err, command + ": no module " + module + " in \"" + *options.minidump + "\"; its modules:");
      for (const MinidumpModule& m : dump.modules) err << "  " << m.Name() << '\n';
      return kExitUsage;
    }
    maps[found] = LoadMap(mapFile);
    // Refused as by symbolize.
    if (!maps[found]->map.HasSegmentTable()) throw Exception(command + ": " + NoSegmentTable(mapFile));
    const DumpImages images(command, dump, options, err);
    const DumpPrinter printer(dump, maps, images.PerModule(), options);
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
    const DumpImages images("db symbolize", dump, options, err, stored);
    const DumpPrinter printer(dump, maps, images.PerModule(), options);
    const std::vector<ThreadFrames> walks = printer.Walk();
    // Each module that holds a frame, once, in the dump's order: the MAP file
    // it is answered from, or why it has none.
    std::set<size_t> holding;
    for (const ThreadFrames& walk : walks)
      for (const StackFrame& frame : walk.frames)
        if (const MinidumpModule* module = dump.ModuleAt(frame.address))
          holding.insert(size_t(module - dump.modules.data()));
    for (const size_t i : holding) {
      const std::string name(dump.modules[i].Name());
      PrintError(err, "db symbolize: " + (maps[i] ? name + ": " : "no MAP file for " + name + ": ") + notes[i]);
    }
    return printer.Print(walks, out);
  });
}

}  // namespace qf::cli
