#include "image/X86State.h"

namespace qf {
namespace x86 {
namespace {

// The saves of the callee-saved registers, each value given through `through`.
template <typename Through>
void SavesOf(const State& s, X86Frame& f, Through through) {
  for (uint8_t r = 0; r < 8; ++r) {
    if (!IsCalleeSaved(r)) continue;
    if (s.saved[r].Known()) {
      f.saved[r] = through(s.saved[r]);
    } else if (s.saved[r] == kNone && (s.original & Bit(r))) {
      f.saved[r] = kNone;
    } else {
      f.saved[r] = kLost;
    }
  }
}

}  // namespace

std::optional<X86Frame> FrameFromEntry(const State& s) {
  const X86Value slot{X86Value::Esp, 0};
  // Where a value in the entry's terms lies now: through ESP or EBP.
  const auto through = [&](X86Value v) -> X86Value {
    if (!v.Known()) return v;
    if (s.esp.Known() && s.esp.base == v.base) return {X86Value::Esp, Sub(v.offset, s.esp.offset)};
    if (s.ebp.Known() && s.ebp.base == v.base) return {X86Value::Ebp, Sub(v.offset, s.ebp.offset)};
    if (v.base == X86Value::Ebp && (s.original & Bit(kEbp))) return v;
    return kLost;
  };
  X86Frame f;
  f.slot = through(slot);
  if (!f.slot.Known() && s.realign.at.Known()) {
    // A realigned stack: the slot through the pointer saved to it.
    f.slot = through(s.realign.at);
    f.indirect = true;
    f.indirectOffset = Sub(slot.offset, s.realign.atOffset);
  }
  if (!f.slot.Known()) return std::nullopt;
  if (f.slot.base == X86Value::Esp && s.ebp.Known() && s.ebp.base == slot.base)
    f.slotByEbp = {X86Value::Ebp, Sub(slot.offset, s.ebp.offset)};
  SavesOf(s, f, through);
  return f;
}

std::optional<X86Frame> FrameForward(const State& s) {
  if (!s.esp.Known()) return std::nullopt;
  X86Frame f;
  f.slot = s.esp;
  SavesOf(s, f, [](X86Value v) { return v; });
  return f;
}

}  // namespace x86
}  // namespace qf
