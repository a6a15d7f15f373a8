// What the steps share: reading the dump's memory, the image of a module,
// the check of a candidate caller, and the two steps both processors take,
// the frame-pointer chain and the checked scan.
#include "crash/WalkSteps.h"

#include "image/CallInstruction.h"

namespace qf::walk {

std::optional<uint64_t> WalkState::Read(uint64_t address) const {
  std::optional<uint64_t> word;
  if (stack.Contains(address, w)) {
    word = dump.Word(stack, address, w);
  } else if (const auto block = dump.MemoryAt(address, w)) {
    word = dump.Word(*block, address, w);
  }
  return word;
}

ImageAt WalkState::FindImage(uint64_t address) const {
  ImageAt at;
  at.module = dump.ModuleAt(address);
  if (at.module && options.imageOf) at.image = options.imageOf(*at.module);
  return at;
}

ImageAt WalkState::ImageOfFrame(const Frame& frame) const {
  ImageAt at = FindImage(frame.LookupAddress());
  if (!at.Is(amd64 ? PeImage::Machine::Amd64 : PeImage::Machine::X86)) at.image = nullptr;
  return at;
}

bool WalkState::Accepts(uint64_t address, Check check, std::optional<uint64_t>* target) const {
  const ImageAt at = FindImage(address);
  if (!at.module) return false;
  if (check == Check::InModule) return true;
  if (options.inCode && !options.inCode(address)) return false;
  if (!at.image) return !!options.inCode;
  const auto call = CallBeforeRva(at.image->Image(), at.image->Bytes(), uint32_t(address - at.module->base));
  if (!call) return false;
  if (target && call->target) *target = at.module->base + *call->target;
  return true;
}

// From the frame pointer F, while F is a multiple of the word size W, at
// least the stack pointer, above the F of the last such step, and [F, F +
// 2W) lies in the thread's stack: the return address at F + W, F becomes
// the word at F, the stack pointer F + 2W. The other registers are the
// frame's no more.
StepResult FramePointer(WalkState& state, const Frame& frame) {
  const FrameRegs& regs = frame.regs;
  if (!regs.Known(kFp)) return StepResult::DidNotKnow();
  const uint64_t f = regs.r[kFp];
  const unsigned w = state.w;
  if (f % w != 0 || (regs.Known(kSp) && f < regs.r[kSp]) || (state.lastFp && f <= *state.lastFp) ||
      !state.stack.Contains(f, 2 * uint64_t(w)))
    return StepResult::DidNotKnow();
  const std::optional<uint64_t> ret = state.dump.Word(state.stack, f + w, w);
  const std::optional<uint64_t> next = state.dump.Word(state.stack, f, w);
  if (!ret || !next || !state.Accepts(*ret, Check::InModule)) return StepResult::Rejected();
  state.lastFp = f;
  Caller c;
  c.slot = f + w;
  c.foundBy = StackFrame::FoundBy::FramePointer;
  c.regs = regs;
  c.regs.ip = *ret;
  c.regs.r[kFp] = *next;
  c.regs.r[kSp] = state.Word(f + 2 * uint64_t(w));
  c.regs.known = uint16_t(1u << kFp | 1u << kSp);
  return StepResult::Found(c);
}

constexpr unsigned kScanWords = 40;          // words a scan step reads above a caller frame
constexpr unsigned kScanWordsContext = 160;  // and above the context frame

// Where the frame's module has an image: from the stack pointer up, a few
// words, the first after a call (a direct call of the frame's function, or
// an indirect call).
StepResult CheckedScan(WalkState& state, const Frame& frame) {
  const FrameRegs& regs = frame.regs;
  if (!state.ImageOfFrame(frame).image || !regs.Known(kSp)) return StepResult::DidNotKnow();
  std::optional<uint64_t> function;
  if (state.options.functionAt)
    if (const auto f = state.options.functionAt(frame.LookupAddress())) function = f->first;
  const unsigned words = frame.caller ? kScanWords : kScanWordsContext;
  uint64_t slot = regs.r[kSp];
  for (unsigned i = 0; i < words && state.stack.Contains(slot, state.w); ++i, slot += state.w) {
    const std::optional<uint64_t> word = state.Read(slot);
    if (!word) break;
    std::optional<uint64_t> target;
    if (!state.Accepts(*word, Check::AfterCall, &target)) continue;
    if (function && target && *target != *function) continue;
    Caller c;
    c.slot = slot;
    c.foundBy = StackFrame::FoundBy::Scan;
    c.regs.ip = *word;
    c.regs.r[kSp] = state.Word(slot + state.w);
    c.regs.known = uint16_t(1u << kSp);
    return StepResult::Found(c);
  }
  return StepResult::Rejected();
}

}  // namespace qf::walk
