// The steps only an x86 walk takes: the return address a call has just
// pushed, and the frame analysis of the frame's function.
#include "crash/WalkSteps.h"

#include "crash/ModuleName.h"
#include "image/CallInstruction.h"

namespace qf::walk {
namespace {

constexpr uint16_t Bit(uint8_t reg) { return uint16_t(1u << reg); }

// The function functionAt gives for the frame, as RVAs of its module.
std::optional<std::pair<uint32_t, uint32_t>> FunctionRvas(const WalkState& state, const ImageAt& at,
                                                          const Frame& frame) {
  if (!state.options.functionAt) return std::nullopt;
  const auto f = state.options.functionAt(frame.LookupAddress());
  if (!f || f->first < at.module->base || f->second <= f->first || f->second - at.module->base > UINT32_MAX)
    return std::nullopt;
  return std::make_pair(uint32_t(f->first - at.module->base), uint32_t(f->second - at.module->base));
}

// The caller's EBX, EBP, ESI and EDI: as the frame's where the function
// leaves them, else read where it saved them.
void SavedRegisters(const WalkState& state, const X86Frame& analysed, const FrameRegs& regs, FrameRegs& caller) {
  for (const uint8_t r : {kEbx, kEbp, kEsi, kEdi}) {
    const X86Value& saved = analysed.saved[r];
    if (saved.base == X86Value::None) {
      caller.r[r] = regs.r[r];
      if (regs.Known(r)) caller.known |= Bit(r);
    } else if (saved.Known()) {
      const uint8_t from = saved.base == X86Value::Esp ? kEsp : kEbp;
      if (!regs.Known(from)) continue;
      if (const std::optional<uint64_t> v = state.Read(uint32_t(regs.r[from]) + uint32_t(saved.offset))) {
        caller.r[r] = *v;
        caller.known |= Bit(r);
      }
    }
  }
}

}  // namespace

// Only for frame 0 outside every module; the word at ESP must lie in code
// of an x86 image, after a call. Found as by the analysis: the registers
// the callee keeps are still the frame's.
StepResult JustCalled(WalkState& state, const Frame& frame) {
  const FrameRegs& regs = frame.regs;
  if (frame.caller || state.dump.ModuleAt(regs.ip)) return StepResult::DidNotKnow();
  const std::optional<uint64_t> ret = state.Read(regs.r[kEsp]);
  if (!ret || !state.FindImage(*ret).Is(PeImage::Machine::X86) || !state.Accepts(*ret, Check::AfterCall))
    return StepResult::DidNotKnow();
  Caller c;
  c.slot = regs.r[kEsp];
  c.foundBy = StackFrame::FoundBy::Analysis;
  c.regs = regs;
  c.regs.ip = *ret;
  c.regs.r[kEsp] = uint32_t(regs.r[kEsp] + 4);
  c.regs.known &= Bit(kEbx) | Bit(kEsp) | Bit(kEbp) | Bit(kEsi) | Bit(kEdi);
  return StepResult::Found(c);
}

namespace {

// The caller of a frame the analysis gave.
StepResult CallerOf(WalkState& state, const FrameRegs& regs, const X86Frame& analysed) {
  const uint8_t base = analysed.slot.base == X86Value::Esp ? kEsp : kEbp;
  if (!regs.Known(base)) return StepResult::DidNotKnow();
  uint32_t slot = uint32_t(regs.r[base]) + uint32_t(analysed.slot.offset);
  if (analysed.indirect) {  // a realigned frame: the slot through the pointer it saved
    const std::optional<uint64_t> pointer = state.Read(slot);
    if (!pointer) return StepResult::Rejected();
    slot = uint32_t(*pointer) + uint32_t(analysed.indirectOffset);
  }
  const std::optional<uint64_t> ret = state.Read(slot);
  if (!ret || !state.Accepts(*ret, Check::AfterCall)) return StepResult::Rejected();
  Caller c;
  c.slot = slot;
  c.regs.ip = *ret;
  c.regs.r[kEsp] = uint32_t(slot + 4);
  c.regs.known = Bit(kEsp);
  SavedRegisters(state, analysed, regs, c.regs);
  return StepResult::Found(c);
}

}  // namespace

// Where the frame's module has an x86 image and the analysis knows where
// the frame's return address lies (from ESP or EBP, or through the pointer
// a realigned frame saved): that word, which must lie in code after a
// call; the caller's ESP just above it, and the registers the analysis
// recovers. Where the paths leave two heights (X86Code::EitherAt): the
// higher's slot, where it holds a return address, else the lower's.
StepResult Analysis(WalkState& state, const Frame& frame) {
  const ImageAt at = state.ImageOfFrame(frame);
  if (!at.Is(PeImage::Machine::X86)) return StepResult::DidNotKnow();
  const FrameRegs& regs = frame.regs;
  const uint32_t rva = uint32_t(regs.ip - at.module->base);
  const auto function = FunctionRvas(state, at, frame);
  if (const std::optional<X86Frame> analysed = at.image->X86().FrameAt(rva, frame.caller, function))
    return CallerOf(state, regs, *analysed);
  std::optional<X86EitherFrame> either;
  if (function) either = at.image->X86().EitherAt(rva, frame.caller, *function);
  if (!either) return StepResult::DidNotKnow();
  const StepResult higher = CallerOf(state, regs, either->higher);
  if (higher.kind == StepResult::Kind::Found || either->below == 0) return higher;
  X86Frame lower = either->higher;
  for (X86Value* v : {&lower.slot, &lower.saved[kEbx], &lower.saved[kEbp], &lower.saved[kEsi], &lower.saved[kEdi]})
    if (v->base == X86Value::Esp) v->offset = int32_t(uint32_t(v->offset) + uint32_t(either->below));
  return CallerOf(state, regs, lower);
}

constexpr unsigned kCrossWords = 1024;  // words the crossing of system frames reads

namespace {

// Whether a word returns just after an import call of an x86 image into
// the module that called back (any, where none is known).
bool ReturnsFromSystem(const WalkState& state, uint64_t word) {
  const ImageAt to = state.FindImage(word);
  if (!to.Is(PeImage::Machine::X86) || !state.Accepts(word, Check::AfterCall)) return false;
  const std::optional<std::string> from =
      ImportCalledBefore(to.image->Image(), to.image->Bytes(), uint32_t(word - to.module->base));
  return from && (!state.calledBackFrom || IsModule(state.calledBackFrom->Name(), *from));
}

// Where the analysis puts the return slot of the frame that returns to word
// from slot (through ESP only: its other registers are not known).
std::optional<uint64_t> CallerSlot(const WalkState& state, uint64_t word, uint64_t slot) {
  const ImageAt at = state.FindImage(word);
  Frame frame;
  frame.regs.ip = word;
  frame.caller = true;
  const std::optional<X86Frame> analysed =
      at.image->X86().FrameAt(uint32_t(word - at.module->base), true, FunctionRvas(state, at, frame));
  if (!analysed || analysed->indirect || analysed->slot.base != X86Value::Esp) return std::nullopt;
  return uint32_t(slot + 4 + uint32_t(analysed->slot.offset));
}

}  // namespace

// A word whose frame the analysis knows counts only where the slot it gives
// holds a return address in turn (the frames of the system leave old words
// of the program's calls in their locals). The first such word may be one a
// call of the same frame left before (a call of the system with more
// arguments, its return address below the live one): of the words after
// such calls that lie in the frame the analysis gives the first one, the
// highest.
StepResult CrossSystem(WalkState& state, const Frame& frame) {
  const FrameRegs& regs = frame.regs;
  const ImageAt at = state.FindImage(frame.LookupAddress());
  if (!at.module || at.image || !regs.Known(kEsp)) return StepResult::DidNotKnow();
  std::optional<uint64_t> found;
  uint64_t end = UINT64_MAX;  // the first word's frame's return slot, where the analysis knows it
  uint64_t slot = regs.r[kEsp];
  for (unsigned i = 0; i < kCrossWords && state.stack.Contains(slot, 4) && slot < end; ++i, slot += 4) {
    const std::optional<uint64_t> word = state.Read(slot);
    if (!word) break;
    if (!ReturnsFromSystem(state, *word)) continue;
    const std::optional<uint64_t> callerSlot = CallerSlot(state, *word, slot);
    if (!found) {
      // A frame the analysis knows must return to a caller in turn.
      const std::optional<uint64_t> next = callerSlot ? state.Read(*callerSlot) : std::nullopt;
      if (callerSlot && (!next || !state.Accepts(*next, Check::AfterCall))) continue;
      found = slot;
      if (!callerSlot) break;
      end = *callerSlot;
    } else if (callerSlot == end) {
      found = slot;
    }
  }
  if (!found) return StepResult::DidNotKnow();
  Caller c;
  c.slot = *found;
  c.foundBy = StackFrame::FoundBy::Scan;
  c.regs.ip = *state.Read(*found);
  c.regs.r[kEsp] = uint32_t(*found + 4);
  c.regs.known = Bit(kEsp);
  return StepResult::Found(c);
}

}  // namespace qf::walk
