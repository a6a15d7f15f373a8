// The steps only an x86 walk takes: the return address a call has just
// pushed, and the frame analysis of the frame's function.
#include "crash/WalkSteps.h"

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

// Where the frame's module has an x86 image and the analysis knows where
// the frame's return address lies (from ESP or EBP, or through the pointer
// a realigned frame saved): that word, which must lie in code after a
// call; the caller's ESP just above it, and the registers the analysis
// recovers.
StepResult Analysis(WalkState& state, const Frame& frame) {
  const ImageAt at = state.ImageOfFrame(frame);
  if (!at.Is(PeImage::Machine::X86)) return StepResult::DidNotKnow();
  const FrameRegs& regs = frame.regs;
  const std::optional<X86Frame> analysed =
      at.image->X86().FrameAt(uint32_t(regs.ip - at.module->base), frame.caller, FunctionRvas(state, at, frame));
  if (!analysed) return StepResult::DidNotKnow();
  const uint8_t base = analysed->slot.base == X86Value::Esp ? kEsp : kEbp;
  if (!regs.Known(base)) return StepResult::DidNotKnow();
  uint32_t slot = uint32_t(regs.r[base]) + uint32_t(analysed->slot.offset);
  if (analysed->indirect) {  // a realigned frame: the slot through the pointer it saved
    const std::optional<uint64_t> pointer = state.Read(slot);
    if (!pointer) return StepResult::Rejected();
    slot = uint32_t(*pointer) + uint32_t(analysed->indirectOffset);
  }
  const std::optional<uint64_t> ret = state.Read(slot);
  if (!ret || !state.Accepts(*ret, Check::AfterCall)) return StepResult::Rejected();
  Caller c;
  c.slot = slot;
  c.regs.ip = *ret;
  c.regs.r[kEsp] = uint32_t(slot + 4);
  c.regs.known = Bit(kEsp);
  SavedRegisters(state, *analysed, regs, c.regs);
  return StepResult::Found(c);
}

}  // namespace qf::walk
