// The step only an AMD64 walk takes: the x64 unwind by the tables of the
// frame's image.
#include "crash/WalkSteps.h"

namespace qf::walk {

// Where the frame's module has an AMD64 image: one step of UnwindX64 from
// the frame's registers, which must give an address in a module.
StepResult UnwindTables(WalkState& state, const Frame& frame) {
  const ImageAt at = state.ImageOfFrame(frame);
  if (!at.Is(PeImage::Machine::Amd64)) return StepResult::DidNotKnow();
  X64Context context;
  context.r = frame.regs.r;
  context.rip = frame.regs.ip;
  const ReadMemory64 read = [&state](uint64_t address) { return state.Read(address); };
  const std::optional<UnwindStep> step = UnwindX64(at.image->Unwind(), at.image->Image(), at.image->Bytes(),
                                                   at.module->base, context, frame.caller, read);
  if (!step || !state.Accepts(step->context.rip, Check::InModule)) return StepResult::Rejected();
  Caller c;
  c.slot = step->returnSlot;
  c.foundBy = StackFrame::FoundBy::Unwind;
  c.regs.r = step->context.r;
  c.regs.ip = step->context.rip;
  c.regs.known = 0xFFFF;  // the unwind takes every register as the frame's
  return StepResult::Found(c);
}

}  // namespace qf::walk
