// The reading of a MAP file's symbol rows, fed one line at a time: the
// segment table, the units of "Detailed map of segments", the publics of
// "Publics by Value" and the line-number pairs, each kept with the segment
// number written before its ":". Its state can be handed to another reader,
// which goes on where this one stopped, so a file can be read in pieces.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "map/MapSegments.h"
#include "map/MapSymbolRows.h"

namespace qf {

// The rows one reading gives, in file order. Names are local to the batch.
struct SymbolRows {
  struct Unit {
    uint32_t segment;
    uint64_t offset;
    uint64_t length;
    uint32_t module;  // into names
  };
  struct Public {
    uint32_t segment;
    uint32_t offset;
    uint32_t nameStart;  // into publicText
    uint32_t nameLength;
  };
  struct Section {
    uint32_t unit;    // into names
    uint32_t source;  // into names
  };
  // From pair `first` on, the pairs belong to this section and segment.
  struct Run {
    std::size_t first;
    uint32_t section;  // into sections
    uint32_t segment;
  };
  struct Pair {
    uint32_t offset;
    int32_t line;
  };

  std::vector<std::string> names;
  std::vector<Unit> units;
  std::vector<Public> publics;
  std::string publicText;
  std::vector<Section> sections;
  std::vector<Run> runs;
  std::vector<Pair> pairs;

  void AddPair(uint32_t section, uint32_t segment, Pair pair) {
    if (runs.empty() || runs.back().section != section || runs.back().segment != segment) {
      runs.push_back({pairs.size(), section, segment});
    }
    pairs.push_back(pair);
  }
  // Four pairs of one section and segment, in a row.
  void AddFourPairs(uint32_t section, uint32_t segment, const Pair* four) {
    if (runs.empty() || runs.back().section != section || runs.back().segment != segment) {
      runs.push_back({pairs.size(), section, segment});
    }
    pairs.insert(pairs.end(), four, four + 4);
  }
  void Reset() {
    names.clear();
    units.clear();
    publics.clear();
    publicText.clear();
    sections.clear();
    runs.clear();
    pairs.clear();
  }
};

// Where a reading stands between two lines.
struct SymbolReaderState {
  enum Mode { Idle, Units, Publics, LinesHeader, Lines };
  Mode mode = Idle;
  std::string unit, source;  // LinesHeader, Lines: the section's names
  SegmentTableReader table;
};

class SymbolRowReader {
 public:
  using State = SymbolReaderState;

  // Appends to rows, from the start of a file or from a state that another
  // reader left.
  explicit SymbolRowReader(SymbolRows& rows, const State& from = State());

  void AddLine(std::string_view line);
  // Reads the lines of four pairs in the linkers' columns at the front of
  // text (each followed by a line end) as AddLine would, while pairs are
  // being read; returns the characters taken (0: none).
  std::size_t AddAlignedLines(std::string_view text);
  // The state after the last line given.
  State Leave() const;

 private:
  void ReadIdle(std::string_view line);
  void StartSection(std::string_view unit, std::string_view source);
  bool AddPairs(std::string_view line);
  int AddAlignedPairs(const char* text, std::size_t size);
  uint32_t AddName(std::string_view name);

  SymbolRows& rows_;
  State::Mode mode_;
  SegmentTableReader table_;
  uint32_t section_ = 0;
  LinePairReader pairs_;
  uint32_t alignedChars_ = 0;  // the segment's characters in the last line read whole (0: none)
  uint32_t alignedSegment_ = 0;
};

}  // namespace qf
