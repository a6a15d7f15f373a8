// One step applied to a state. Both readings move ESP and EBP alike; they
// differ in what they learn of the callee-saved registers (hooks below, one
// set for each reading): from the entry, where a push saves the entry's
// value and a pop gives it back, and where the stack was realigned; read
// forward, where a pop or `leave` takes the value the caller gets back.
#include "image/X86Analysis.h"

namespace qf {
namespace x86 {
namespace {

// What writing registers undoes in either reading.
void Written(State& s, uint8_t mask) {
  s.original &= uint8_t(~mask);
  if (mask & Bit(kEbp)) s.ebp = kLost;
  if (mask & Bit(kEax)) s.eax.reset();
  s.realign.Written(mask);
}

// A register holds the entry's value again (popped from its save).
void Restored(State& s, uint8_t r) {
  s.saved[r] = kNone;
  s.original |= Bit(r);
  if (r == kEbp) s.ebp = {X86Value::Ebp, 0};
}

// --- From the entry --------------------------------------------------------

void Write(EntryReading&, State& s, uint8_t mask) { Written(s, mask); }

// A push of the entry's value of callee-saved r, just made: its save.
bool SavePushed(EntryReading&, State& s, uint8_t r) {
  if (!IsCalleeSaved(r) || !(s.original & Bit(r)) || s.saved[r] != kNone) return false;
  s.saved[r] = s.esp;
  return true;
}

// A push just made; true where it is a save (no argument of a call).
bool Pushed(EntryReading& reading, State& s, const Step& st) {
  const bool save = st.size == 4 && st.reg < 8 && SavePushed(reading, s, st.reg);
  if (st.reg == kEbp && s.ebp.Known() && s.ebp != X86Value{X86Value::Ebp, 0} && s.saved[kEbp] == kNone)
    s.saved[kEbp] = kLost;
  s.realign.Pushed(st.reg, st.size, s.esp);
  return save;
}

// A pop into st.reg from `at`, the register written already.
void Popped(EntryReading&, State& s, const Step& st, X86Value at) {
  s.realign.Popped(st.reg, st.size, at);
  if (at.Known() && s.saved[st.reg] == at) Restored(s, st.reg);
}

// `leave`: EBP popped from `at`.
void Left(EntryReading&, State& s, X86Value at) {
  if (at.Known() && s.saved[kEbp] == at) Restored(s, kEbp);
}

void CopiedEsp(EntryReading&, State& s, const Step& st) { s.realign.Lea(st.reg, s.esp, st.value); }

X86Value Aligned(EntryReading& reading, const State& s, const Step& st) {
  return Realignment::Align(s.esp, st.rva, reading.alignedAt);
}

// After each step: a save the stack pointer has moved above is gone.
void Settled(EntryReading&, State& s) {
  if (!s.esp.Known()) return;
  for (uint8_t r = 0; r < 8; ++r)
    if (s.saved[r].Known() && s.saved[r].base == s.esp.base && s.saved[r].offset < s.esp.offset)
      s.saved[r] = (s.original & Bit(r)) ? kNone : kLost;
  s.realign.Dropped(s.esp);
}

// --- Forward ---------------------------------------------------------------

// A register written holds nothing the caller gets back.
void Write(ForwardReading&, State& s, uint8_t mask) {
  for (unsigned r = 0; r < 8; ++r)
    if (mask & Bit(r)) s.saved[r] = kNone;
  Written(s, mask);
}

bool SavePushed(ForwardReading&, State&, uint8_t) { return false; }

// A push just made: where the register went, and what was known of it.
bool Pushed(ForwardReading&, State& s, const Step& st) {
  if (st.reg < 8) {
    s.pushAt[st.reg] = s.esp;
    s.pushSaved[st.reg] = s.saved[st.reg];
    s.pushOriginal = uint8_t((s.pushOriginal & ~Bit(st.reg)) | (s.original & Bit(st.reg)));
  }
  return false;
}

// A pop from `at`: of a push on the way, the register is what it was then;
// from the frame's own stack, the caller's value lies at `at`.
void Popped(ForwardReading&, State& s, const Step& st, X86Value at) {
  if (at.base == X86Value::Esp && at.offset < 0) {
    if (s.pushAt[st.reg] == at && at.Known()) {
      s.saved[st.reg] = s.pushSaved[st.reg];
      s.original |= s.pushOriginal & Bit(st.reg);
    }
  } else if (st.size == 4) {
    s.saved[st.reg] = at;
  }
}

void Left(ForwardReading&, State& s, X86Value at) { s.saved[kEbp] = at; }
void CopiedEsp(ForwardReading&, State&, const Step&) {}
X86Value Aligned(ForwardReading&, const State&, const Step&) { return kLost; }
void Settled(ForwardReading&, State&) {}

// --- Both ------------------------------------------------------------------

template <typename R>
void Push(R& reading, const Step& st, State& s) {
  s.esp = Plus(s.esp, -st.size);
  bool argument = !Pushed(reading, s, st);  // what a callee might pop
  if (st.segment == 0x64) argument = false;  // an exception frame's link (push fs:[...])
  // A label of the code read pushed (an exception handler, or where a
  // `ret` goes on) is no argument of a call.
  const auto [first, second] = reading.labels;
  if (st.immediate && uint32_t(st.value) - reading.analysis.image.imageBase - first < second - first) argument = false;
  if (argument) s.pushed += st.size;
  if (st.immediate) {
    s.immAt = s.esp;
    s.imm = uint32_t(st.value);
    s.immTop = true;
  }
}

template <typename R>
void Pop(R& reading, const Step& st, State& s) {
  const X86Value at = s.esp;
  s.esp = Plus(s.esp, st.size);
  s.pushed = std::max(0, s.pushed - st.size);
  if (st.reg < 8) {
    Write(reading, s, Bit(st.reg));
    Popped(reading, s, st, at);
  }
}

template <typename R>
void Enter(R& reading, const Step& st, State& s) {
  const int32_t size = st.value & 0xFFFF, level = (st.value >> 16) & 31;
  s.esp = Plus(s.esp, -4);
  SavePushed(reading, s, kEbp);
  Write(reading, s, Bit(kEbp));
  s.ebp = s.esp;
  s.esp = Plus(s.esp, -(4 * level + size));
  s.pushed = 0;
}

template <typename R>
void Call(R& reading, const Step& st, State& s) {
  if (st.op == Op::Call && uint32_t(st.value) == st.rva + st.length) {  // call $+5: a push of EIP
    s.esp = Plus(s.esp, -4);
    return;
  }
  s.esp = Plus(s.esp, CallPops(reading, st, s));
  s.pushed = 0;
  const std::optional<uint32_t> eax = s.eax;
  Write(reading, s, Bit(kEcx) | Bit(kEdx) | Bit(kEax));
  // A stack probe keeps EAX for the `sub esp, eax` after it.
  if (const std::optional<Step> after = reading.analysis.StepAt(st.rva + st.length); after && after->op == Op::SubEspEax)
    s.eax = eax;
}

template <typename R>
void ApplyStep(R& reading, const Step& st, State& s);

template <typename R>
void Transfer(R& reading, const Step& st, State& s) {
  switch (st.op) {
    case Op::Push: return Push(reading, st, s);
    case Op::Pop: return Pop(reading, st, s);
    case Op::AddEsp: s.esp = Plus(s.esp, st.value); s.pushed = 0; return;
    case Op::SubEspEax: s.esp = s.eax ? Plus(s.esp, Sub(0, int32_t(*s.eax))) : kLost; s.pushed = 0; return;
    case Op::EspFromEbp: s.esp = Plus(s.ebp, st.value); s.pushed = 0; return;
    case Op::EbpFromEsp:
      s.pushed = 0;
      Write(reading, s, Bit(kEbp));
      s.ebp = Plus(s.esp, st.value);
      return;
    case Op::LostEsp: Write(reading, s, st.writes); s.esp = kLost; return;
    case Op::LeaFromEsp: Write(reading, s, Bit(st.reg)); CopiedEsp(reading, s, st); return;
    case Op::EspFromReg: s.esp = s.realign.EspFrom(st.reg, st.value); s.pushed = 0; return;
    case Op::AlignEsp: s.esp = Aligned(reading, s, st); s.pushed = 0; return;
    case Op::Leave: {
      const X86Value at = s.ebp;
      s.esp = Plus(s.ebp, 4);
      s.pushed = 0;
      Write(reading, s, Bit(kEbp));
      return Left(reading, s, at);
    }
    case Op::Enter: return Enter(reading, st, s);
    case Op::Pushad:
      for (uint8_t r = 0; r < 8; ++r) {
        s.esp = Plus(s.esp, -4);
        SavePushed(reading, s, r);
      }
      return;
    case Op::Popad:
      for (int r = 7; r >= 0; --r) {
        if (r == kEsp) {
          s.esp = Plus(s.esp, 4);
          continue;
        }
        Step pop;
        pop.op = Op::Pop;
        pop.reg = uint8_t(r);
        ApplyStep(reading, pop, s);
      }
      return;
    case Op::MovEaxImm: Write(reading, s, Bit(kEax)); s.eax = uint32_t(st.value); return;
    case Op::Call: case Op::CallIndirect: return Call(reading, st, s);
    default: Write(reading, s, st.writes); return;
  }
}

template <typename R>
void ApplyStep(R& reading, const Step& st, State& s) {
  Transfer(reading, st, s);
  if (st.op == Op::Pop || st.op == Op::Popad || st.op == Op::Leave || st.op == Op::EspFromEbp ||
      st.op == Op::LostEsp || (st.op == Op::AddEsp && st.value > 0))
    s.immTop = false;
  // An immediate popped is gone.
  if (s.immAt.Known() && s.esp.Known() && s.immAt.base == s.esp.base && s.immAt.offset < s.esp.offset) s.immAt = kLost;
  Settled(reading, s);
}

}  // namespace

void Apply(EntryReading& reading, const Step& st, State& s) { ApplyStep(reading, st, s); }
void Apply(ForwardReading& reading, const Step& st, State& s) { ApplyStep(reading, st, s); }

}  // namespace x86
}  // namespace qf
