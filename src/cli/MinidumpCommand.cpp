// quillfen-cli symbolize --minidump and db symbolize --minidump: the stack of
// the crashed thread (or of every thread) of a Windows minidump, walked by
// the core (WalkThreads) with the MAP files and images of its modules, and
// printed (DumpOutput.h).
#include <iostream>
#include <memory>
#include <new>
#include <set>

#include "Commands.h"
#include "DumpImages.h"
#include "DumpOutput.h"
#include "StoredBuilds.h"
#include "Terminal.h"
#include "base/Errors.h"
#include "crash/MinidumpReader.h"
#include "crash/ModuleName.h"
#include "crash/StackWalk.h"
#include "crash/Wow64View.h"
#include "db/U_MAPDb.h"

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
      // "-": the dump comes on standard input.
      if (path == "-") return ReadMinidump(std::make_unique<MemoryRandomAccessReader>(ReadStandardInputBytes()));
      return ReadMinidump(PlatformFileSystem().OpenRandomAccess(path));
    } catch (const MinidumpError& e) {
      throw Exception("\"" + path + "\": " + e.what());
    }
  }
  const Minidump dump_;
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

// The walk's view of a side: code, images and functions as its MAP files
// and images give them.
StackWalkOptions WalkOptions(const DumpSide& side, bool scan) {
  StackWalkOptions walk;
  walk.scan = scan;
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
    return DumpPrinter(native_, view_ ? &*view_ : nullptr, options);
  }

  // The threads the options ask for (WalkThreads), each with its side.
  std::vector<SideWalk> Walk(const SymbolizeOptions& options) const {
    const StackWalkOptions native = WalkOptions(native_, options.scan);
    std::optional<StackWalkOptions> inView;
    std::optional<Wow64Walk> view;
    if (view_) {
      inView = WalkOptions(*view_, options.scan);
      view.emplace(Wow64Walk{*wow64_, *inView});
    }
    const bool all = WalksAllThreads(*native_.dump, options.allThreads);
    std::vector<SideWalk> walks;
    for (ThreadFrames& walk : WalkThreads(*native_.dump, native, all, view)) {
      const DumpSide* side = walk.inView ? &*view_ : &native_;
      walks.push_back({std::move(walk), side});
    }
    return walks;
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
    return sides.Printer(options).Print(sides.Walk(options), out);
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
    const std::vector<SideWalk> walks = sides.Walk(options);
    // Each module that holds a frame, once, in the dump's order: the MAP file
    // it is answered from, or why it has none.
    std::set<size_t> holding;
    for (const SideWalk& walk : walks)
      for (const StackFrame& frame : walk.walk.frames)
        if (const MinidumpModule* module = walk.side->dump->ModuleAt(frame.address))
          holding.insert(walk.side->moduleOf[walk.side->IndexOf(*module)]);
    for (const size_t i : holding) {
      const std::string name(dump.modules[i].Name());
      PrintError(err, "db symbolize: " + (maps[i] ? name + ": " : "no MAP file for " + name + ": ") + notes[i]);
    }
    return sides.Printer(options).Print(walks, out);
  });
}

}  // namespace qf::cli
