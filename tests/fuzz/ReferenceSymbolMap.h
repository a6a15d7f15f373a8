// A plain reading of a MAP file's symbols for the cross-check target: every
// row kept as read, every answer found by scanning all of them. Slow, and
// written apart from the symbol map so that the two can be compared.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "map/SymbolMap.h"

namespace qf::fuzz {

struct ReferenceAnswer {
  bool inCode = false;
  std::string segment;
  std::optional<std::string> unit;
  std::optional<std::string> function;
  uint64_t functionOffset = 0;
  std::optional<std::string> file;
  std::optional<int32_t> line;
};

class ReferenceSymbolMap {
 public:
  // The lines of the file in order, without their line ends.
  explicit ReferenceSymbolMap(const std::vector<std::string>& lines);

  uint64_t ImageBase() const { return imageBase_; }
  // id, name, start and length (grown to its units' ends), in table order.
  const std::vector<CodeSegment>& Segments() const { return segments_; }
  ReferenceAnswer Answer(uint64_t address) const;
  // Addresses worth asking about: the edges of every row read.
  std::vector<uint64_t> Landmarks() const;

 private:
  struct Unit {
    std::size_t segment;
    uint64_t start, end;
    std::string module;
  };
  struct Public {
    std::size_t segment;
    uint64_t offset;
    std::string name;
  };
  struct Pair {
    std::size_t segment;
    uint64_t offset;
    int32_t line;
    std::string unit, source;  // the names of its section's header
    int64_t group;             // the unit it answers for, kNoUnit or kNever
  };
  static constexpr int64_t kNoUnit = -1;
  static constexpr int64_t kNever = -2;

  void ReadTable(const std::vector<std::string>& lines);
  void ReadRows(const std::vector<std::string>& lines);
  std::optional<std::size_t> CodeSegmentOf(uint64_t number) const;
  std::optional<std::size_t> OwnerOf(std::size_t segment, uint64_t offset) const;

  uint64_t imageBase_ = 0x400000;
  std::vector<CodeSegment> segments_;
  std::vector<Unit> units_;
  std::vector<Public> publics_;
  std::vector<Pair> pairs_;
};

}  // namespace qf::fuzz
