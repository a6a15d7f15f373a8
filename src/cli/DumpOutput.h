// How quillfen-cli prints the walk of a minidump's threads (symbolize
// --minidump, db symbolize --minidump): each frame named by its module and,
// where the module has a MAP file, by what symbolize prints for it, read at
// the module's load base; as text or as one JSON object.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "Commands.h"
#include "map/FunctionSpans.h"
#include "crash/Minidump.h"
#include "crash/StackWalk.h"
#include "db/BuildIdentity.h"
#include "map/SymbolMap.h"

namespace qf::cli {

// The MAP file of a module of the dump.
struct ModuleMap {
  std::string file;
  SymbolMap map;
  mutable std::unique_ptr<FunctionSpans> spans;  // made when a walk first asks
  std::optional<BuildIdentity> build;  // the identity stored with it, where it is known
  const FunctionSpans& Spans() const {
    if (!spans) spans = std::make_unique<FunctionSpans>(map);
    return *spans;
  }
};

std::unique_ptr<ModuleMap> LoadMap(const std::string& file);
std::string NoSegmentTable(const std::string& file);

// The address in the MAP file's layout: address - load base + its image base.
inline uint64_t InMap(const MinidumpModule& module, const ModuleMap& map, uint64_t address) {
  return address - module.base + map.map.ImageBase();
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
  std::optional<std::pair<uint64_t, uint64_t>> ExportedAt(const MinidumpModule* module, uint64_t address) const;
  mutable std::vector<std::optional<std::vector<std::pair<uint32_t, uint32_t>>>> exports;
};

// The walk of a thread, with the side it was walked in.
struct SideWalk {
  ThreadFrames walk;
  const DumpSide* side = nullptr;
};

class DumpPrinter {
 public:
  // view: the 32-bit view where it is shown (null: the dump as read).
  DumpPrinter(const DumpSide& native, const DumpSide* view, const SymbolizeOptions& options)
      : native_(native), view_(view), options_(options) {}

  // Prints the walks; the exit status.
  int Print(const std::vector<SideWalk>& walks, std::ostream& out) const;

 private:
  // The side the dump's own answers (modules, exception) are given in.
  const DumpSide& Main() const { return view_ ? *view_ : native_; }
  // The side of the exception's thread, the first walk.
  const DumpSide& ExceptionSide(const std::vector<SideWalk>& walks) const {
    return walks.empty() ? Main() : *walks.front().side;
  }
  // What makes the answers of a module doubtful (DumpWarnings.h), each once.
  std::vector<std::string> Warnings() const;
  void PrintText(const std::vector<SideWalk>& walks, std::ostream& out) const;
  void PrintJsonView(const SideWalk& walk, std::ostream& out) const;
  void PrintJson(const std::vector<SideWalk>& walks, std::ostream& out) const;

  const DumpSide& native_;
  const DumpSide* view_;
  const SymbolizeOptions& options_;
};

}  // namespace qf::cli
