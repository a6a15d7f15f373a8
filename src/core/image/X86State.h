// What the frame analysis knows at one instruction: the stack and frame
// pointers and the callee-saved registers as values relative to a symbolic
// base, and the join of two paths' knowledge, which only ever loses some.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

#include "image/X86Effects.h"
#include "image/X86Frames.h"

namespace qf {
namespace x86 {

const X86Value kNone{X86Value::None, 0};
const X86Value kLost{X86Value::Unknown, 0};

inline X86Value Plus(X86Value v, int32_t d) {
  if (v.Known()) v.offset = Add(v.offset, d);
  return v;
}

// A value for each callee-saved register (and one slot that every other
// register shares and nothing reads).
struct RegValues {
  std::array<X86Value, 5> v{};
  static size_t At(uint8_t r) { return r == kEbx ? 0 : r == kEbp ? 1 : r == kEsi ? 2 : r == kEdi ? 3 : 4; }
  X86Value& operator[](uint8_t r) { return v[At(r)]; }
  const X86Value& operator[](uint8_t r) const { return v[At(r)]; }
  bool operator==(const RegValues& o) const { return v == o.v; }
  bool operator!=(const RegValues& o) const { return !(v == o.v); }
};

// Stack realignment (`and esp,-N`), all of it: after it the stack pointer
// has a base of its own (X86Value::Aligned, which stands for the result of
// one such instruction per function), and the way back to the entry's stack
// pointer is a register holding it plus regOffset, or a stack slot (at)
// holding it plus atOffset, as the function copies it there (`lea reg,
// [esp+N]` before, `push reg` after, `pop reg` and `lea esp,[reg+N]` at the
// end). Only the reading from the entry follows it.
struct Realignment {
  uint8_t reg = 0xFF;
  int32_t regOffset = 0;
  X86Value at{X86Value::Unknown, 0};
  int32_t atOffset = 0;

  bool operator==(const Realignment& o) const {
    return reg == o.reg && (reg > 7 || regOffset == o.regOffset) && at == o.at && (!at.Known() || atOffset == o.atOffset);
  }
  void Join(const Realignment& o) {
    if (reg != o.reg || regOffset != o.regOffset) reg = 0xFF;
    if (at != o.at || atOffset != o.atOffset) at = kLost;
  }
  void Written(uint8_t mask) {
    if (reg < 8 && (mask & Bit(reg))) reg = 0xFF;
  }
  // `lea r,[esp+d]`: r holds the entry's stack pointer plus what ESP is above it.
  void Lea(uint8_t r, X86Value esp, int32_t d) {
    if (esp.Known() && esp.base == X86Value::Esp) {
      reg = r;
      regOffset = Add(esp.offset, d);
    }
  }
  void Pushed(uint8_t r, uint8_t size, X86Value esp) {
    if (r < 8 && r == reg && size == 4 && esp.Known()) {
      at = esp;
      atOffset = regOffset;
    }
  }
  void Popped(uint8_t r, uint8_t size, X86Value from) {
    if (size == 4 && from.Known() && from == at) {
      reg = r;
      regOffset = atOffset;
    }
  }
  // A slot the stack pointer has moved above is gone.
  void Dropped(X86Value esp) {
    if (at.Known() && at.base == esp.base && at.offset < esp.offset) at = kLost;
  }
  // `lea esp,[r+d]`: back on the entry's stack where r holds the way back.
  X86Value EspFrom(uint8_t r, int32_t d) const {
    return reg == r ? X86Value{X86Value::Esp, Add(regOffset, d)} : kLost;
  }
  // `and esp,-N` at rva, alignedAt the function's one realignment (its RVA +
  // 1; 0: none met yet): the new base, known only from the entry's stack.
  static X86Value Align(X86Value esp, uint32_t rva, uint32_t& alignedAt) {
    if (!esp.Known() || esp.base != X86Value::Esp || (alignedAt != 0 && alignedAt != rva + 1)) return kLost;
    alignedAt = rva + 1;
    return {X86Value::Aligned, 0};
  }
};

// What is known at one instruction.
struct State {
  X86Value esp{X86Value::Esp, 0};
  X86Value ebp{X86Value::Ebp, 0};
  RegValues saved{{kNone, kNone, kNone, kNone, kNone}};
  uint8_t original = 0xFF;        // registers that hold their value at the reference point
  int32_t pushed = 0;             // bytes pushed since the stack was last balanced
  X86Value immAt = kLost;         // where the last immediate was pushed
  uint32_t imm = 0;
  bool immTop = false;            // nothing popped since (where ESP is not known)
  std::optional<uint32_t> eax;    // a constant in EAX
  // Read forward: where each register was last pushed, and what was known
  // of it then (a pop from there gives that back).
  RegValues pushAt{};
  RegValues pushSaved{};
  uint8_t pushOriginal = 0;
  Realignment realign;

  bool operator==(const State& o) const {
    return esp == o.esp && ebp == o.ebp && saved == o.saved && original == o.original && pushed == o.pushed &&
           immAt == o.immAt && imm == o.imm && immTop == o.immTop && eax == o.eax && realign == o.realign;
  }
  // Keeps what both agree on; true when this changed.
  bool Join(const State& o) {
    const State before = *this;
    if (esp != o.esp) esp = kLost;
    if (ebp != o.ebp) ebp = kLost;
    for (size_t r = 0; r < saved.v.size(); ++r)
      if (saved.v[r] != o.saved.v[r]) saved.v[r] = kLost;
    original &= o.original;
    pushed = std::min(pushed, o.pushed);
    if (immAt != o.immAt || imm != o.imm) immAt = kLost;
    if (imm != o.imm || !o.immTop) immTop = false;
    if (eax != o.eax) eax.reset();
    realign.Join(o.realign);
    return !(*this == before);
  }
};

// The frame a state read from the function's entry gives: the
// return-address slot (ESP at the entry) and the saves, in terms of ESP and
// EBP at the state's instruction; none unless the slot can be reached.
std::optional<X86Frame> FrameFromEntry(const State& s);
// The frame a state read forward to a return gives (the slot: ESP there),
// in terms of ESP and EBP at the instruction the read began at.
std::optional<X86Frame> FrameForward(const State& s);

}  // namespace x86
}  // namespace qf
