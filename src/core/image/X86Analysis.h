// The x86 frame analysis of one image: what it has learnt (functions'
// tables, callees' pops) and the budget of the question under way, and the
// two readings of code it is made of, each with its own context passed down
// explicitly: from a function's entry along every path (the function's
// table, X86FunctionTable.cpp), and forward from one instruction to a
// return (X86Forward.cpp), both applying steps to states (X86Transfer.cpp).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "image/PeImage.h"
#include "image/X86Effects.h"
#include "image/X86Frames.h"
#include "image/X86State.h"

namespace qf {
namespace x86 {

// A map of RVAs or offsets to numbers (the instructions a reading has
// passed), open addressing, grown as it fills: its memory follows the code
// reached, not the size of the function.
class OffsetMap {
 public:
  const int32_t* Find(uint32_t key) const {
    const Entry& e = table_[Slot(key)];
    return e.key == key + 1 ? &e.value : nullptr;
  }
  bool Has(uint32_t key) const { return Find(key) != nullptr; }
  void Add(uint32_t key, int32_t value = 0) {
    if (2 * (count_ + 1) > table_.size()) {
      std::vector<Entry> old(2 * table_.size());
      old.swap(table_);
      for (const Entry& e : old)
        if (e.key != 0) table_[Slot(e.key - 1)] = e;
    }
    Entry& e = table_[Slot(key)];
    if (e.key == 0) ++count_;
    e = {key + 1, value};
  }

 private:
  struct Entry {
    uint32_t key = 0;  // key + 1; 0: empty
    int32_t value = 0;
  };
  size_t Slot(uint32_t key) const {
    size_t i = (key * 2654435761u) & (table_.size() - 1);
    while (table_[i].key != 0 && table_[i].key != key + 1) i = (i + 1) & (table_.size() - 1);
    return i;
  }
  std::vector<Entry> table_ = std::vector<Entry>(64);
  size_t count_ = 0;
};

constexpr size_t kBudget = 1 << 15;  // instructions one question may process, callees' reads included

struct Analysis {
  const PeImage& image;
  std::string_view bytes;
  std::map<uint32_t, X86FrameTable> functions;
  std::unordered_map<uint32_t, std::optional<uint16_t>> pops;
  size_t budget = 0;   // instructions the question under way may still process
  bool asking = false;

  Analysis(const PeImage& i, std::string_view b) : image(i), bytes(b) {}

  bool Spend() {
    if (budget == 0) return false;
    --budget;
    return true;
  }
  // One question from outside: its own budget.
  template <typename Body>
  auto Ask(Body body) {
    if (asking) return body();
    asking = true;
    budget = kBudget;
    auto answer = body();
    asking = false;
    return answer;
  }
  // The section bytes holding rva: (bytes, their RVA); empty outside code.
  std::pair<std::string_view, uint32_t> CodeAt(uint32_t rva) const {
    const PeSection* s = image.SectionAt(rva);
    if (!s || !s->IsCode()) return {{}, 0};
    return {PeBytesAt(image, bytes, s->virtualAddress, s->Span()), s->virtualAddress};
  }
  std::optional<Step> StepAt(uint32_t rva) const {
    const auto [code, base] = CodeAt(rva);
    if (code.empty() || rva - base >= code.size()) return std::nullopt;
    return Decode(code, rva - base, base);
  }
  bool FillerAt(uint32_t rva) const {
    const auto [code, base] = CodeAt(rva);
    return !code.empty() && rva - base < code.size() && IsFiller(code, rva - base);
  }
};

// What one reading of code carries down through the steps it applies and
// the callees it reads: the RVAs the code read may push as labels of its own
// (an exception handler, where a `ret` goes on: no argument of a call), and
// how many callee reads are under way above it.
struct Reading {
  Analysis& analysis;
  std::pair<uint32_t, uint32_t> labels;
  unsigned depth = 0;
};

// From a function's entry: where the entry's callee-saved values are saved,
// and the function's one realignment of its stack.
struct EntryReading : Reading {
  uint32_t alignedAt = 0;  // see Realignment::Align
};

// Forward from an instruction to the return: where each register will be
// restored from (what its pops and `leave` read).
struct ForwardReading : Reading {};

// One step from state s, as the reading sees it.
void Apply(EntryReading& reading, const Step& st, State& s);
void Apply(ForwardReading& reading, const Step& st, State& s);

// The function [begin, end) analysed from begin, kept.
const X86FrameTable& FunctionTable(Analysis& analysis, uint32_t begin, uint32_t end);

// Forward from rva (a frame's instruction) to a return; bases: ESP and EBP
// at rva. retPop: the return's `ret n`. end: where the function ends, if
// known. depth: the callee reads under way.
std::optional<X86Frame> ReadForward(Analysis& analysis, uint32_t rva, uint16_t* retPop, std::optional<uint32_t> end,
                                    unsigned maxSteps, unsigned depth);
// The frame at rva read forward (callerFrame: rva is a return address, the
// read starts at the call before it).
std::optional<X86Frame> ForwardFrame(Analysis& analysis, uint32_t rva, bool callerFrame, std::optional<uint32_t> end);
// The bytes of its stack arguments the function at entry pops, kept.
std::optional<uint16_t> CalleePops(Analysis& analysis, uint32_t entry, unsigned depth);
// What a call pops of the stack (see X86Forward.cpp).
int32_t CallPops(const Reading& reading, const Step& call, const State& s);

}  // namespace x86
}  // namespace qf
