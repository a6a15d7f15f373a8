// The symbol map of one MAP file: code segments, units (modules), public
// functions and line numbers, answered by binary search. It is read by
// SymbolRowReader (on all processors for a large file, SymbolMapLoader) and
// built by SymbolMapBuilder; the map itself only answers. Addresses are
// 64-bit throughout and are taken in the MAP file's preferred layout (the
// image base the file was linked for).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/FileSystem.h"
#include "map/LineTableLoader.h"

namespace qf {

struct CodeSegment {
  std::string id;      // "0001"
  std::string name;    // ".text"
  uint64_t start = 0;  // absolute address in the preferred layout
  uint64_t length = 0; // at least up to the end of its last unit
};

// What an address turns into. Views point into the SymbolMap and stay valid
// as long as it lives.
struct Symbolized {
  uint64_t address = 0;
  bool inCode = false;                   // false: every field below is unknown
  std::string_view segment;              // the code segment's name (".text")
  std::optional<std::string_view> unit;  // module name (M=...)
  std::optional<std::string_view> function;
  uint64_t functionOffset = 0;           // address minus the function's start
  std::optional<std::string_view> file;  // SOURCE of the line-number section
  std::optional<int32_t> line;
};

// A stretch of code inside units that Symbolize answers alike, address for
// address: [start, end) in the preferred layout, with the unit, function and
// line every address of it gets. Views point into the SymbolMap.
struct SymbolRun {
  uint64_t start = 0;
  uint64_t end = 0;
  std::string_view unit;
  std::optional<std::string_view> function;
  uint64_t functionStart = 0;  // the address of the function's public
  bool sharedStart = false;    // other publics share that address (function is the first)
  std::optional<std::string_view> file;
  std::optional<int32_t> line;
  uint32_t fileNumber = 0;     // with file: its place in SourceFiles()
};

struct SymbolMapData;

class SymbolMap {
 public:
  // Builds a map from the lines of a MAP file given in order (each line
  // without its line end; the text is already cut at its first NUL).
  class Builder {
   public:
    Builder();
    ~Builder();
    Builder(Builder&&) noexcept;
    Builder& operator=(Builder&&) noexcept;
    void AddLine(std::string_view line);
    SymbolMap Finish();

   private:
    struct State;
    std::unique_ptr<State> state_;
  };

  SymbolMap();
  explicit SymbolMap(std::unique_ptr<SymbolMapData> data);
  ~SymbolMap();
  SymbolMap(SymbolMap&&) noexcept;
  SymbolMap& operator=(SymbolMap&&) noexcept;

  // The map of text already in memory (cut at its first NUL).
  static SymbolMap FromText(std::string_view text);
  // The map of the MAP file at fileName, read as the line table is (options:
  // the buffer and the number of threads). Throws EFOpenError when it cannot
  // be opened or read.
  static SymbolMap Load(const std::string& fileName, const FileSystem& fs = PlatformFileSystem(),
                        const LineTableLoadOptions& options = {});

  // The preferred image base: the first CODE start minus 0x1000 in the new
  // layout, 0x400000 in the old one.
  uint64_t ImageBase() const;
  // False for a file without the segment table ("Start Length Name Class"
  // and at least one row): no MAP file, or not one this map can place.
  bool HasSegmentTable() const;
  const std::vector<CodeSegment>& CodeSegments() const;
  bool InCode(uint64_t address) const;
  Symbolized Symbolize(uint64_t address) const;
  // The answers for many addresses, in the order given. They are worked out
  // in address order, so that a large map's memory is read front to back
  // rather than at random (several times faster for many addresses).
  std::vector<Symbolized> Symbolize(const std::vector<uint64_t>& addresses) const;

  // True when the segment table writes its starts with 16 digits (a 64-bit
  // program's MAP file).
  bool WideStarts() const;
  // Every source file a line-number section names, each once, in the order
  // of the sections.
  const std::vector<std::string_view>& SourceFiles() const;
  // Calls visit for the code inside units in address order, stretch by
  // stretch: each stretch as long as the answer stays the same, the next one
  // where it changes or after a gap. Code outside every unit is left out.
  void ForEachRunInUnits(const std::function<void(const SymbolRun&)>& visit) const;
  // Calls visit for each public of the code segments, segment by segment in
  // address order, by address: its address in the preferred layout, its
  // name, and the end of its segment.
  void ForEachCodePublic(const std::function<void(uint64_t, std::string_view, uint64_t)>& visit) const;

 private:
  std::unique_ptr<SymbolMapData> data_;
};

}  // namespace qf
