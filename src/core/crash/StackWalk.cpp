// The walk of one thread: the steps from frame to frame (WalkSteps.h), then
// on request the scan of the whole stack, then the call each caller frame
// returns from.
#include "crash/StackWalk.h"

#include <algorithm>
#include <vector>

#include "crash/WalkSteps.h"
#include "image/CallInstruction.h"

namespace qf {
namespace {

using namespace walk;

// The frame 0 registers: all known, as wide as the processor's.
FrameRegs ContextRegs(const WalkState& state, const MinidumpRegisters& registers) {
  FrameRegs regs;
  for (size_t i = 0; i < regs.r.size(); ++i) regs.r[i] = state.Word(registers.general[i]);
  regs.r[kSp] = state.Word(registers.sp);
  regs.r[kFp] = state.Word(registers.fp);
  regs.ip = state.Word(registers.ip);
  regs.known = 0xFFFF;
  return regs;
}

// The caller by the first step of the list that finds one: a step that did
// not know passes to the next, a step that rejected the caller to the next
// one tried after a rejection.
template <size_t N>
std::optional<Caller> FirstFound(WalkState& state, const Frame& frame, const std::array<StepEntry, N>& steps) {
  bool rejected = false;
  for (const StepEntry& entry : steps) {
    if (rejected && !entry.afterRejection) continue;
    const StepResult result = entry.step(state, frame);
    if (result.kind == StepResult::Kind::Found) return result.caller;
    if (result.kind == StepResult::Kind::Rejected) rejected = true;
  }
  return std::nullopt;
}

// The frames the steps found, with what the scan of the whole stack leaves out.
struct Chain {
  std::vector<StackFrame> frames;
  std::vector<uint64_t> slots;  // the slots of the frames found by a step
  // Stack ranges the analysis accounts for: no scanned word is taken there.
  std::vector<std::pair<uint64_t, uint64_t>> analysed;
};

// The walk ends where no step finds a caller, where the caller's stack
// pointer is not above the frame's (where the frame's is known), and before
// a caller found by scan after kMaxScannedFrames of them in a row.
bool Stops(const Frame& frame, const std::optional<Caller>& next, size_t scannedInARow) {
  if (!next) return true;
  if (frame.regs.Known(kSp) && next->regs.r[kSp] <= frame.regs.r[kSp]) return true;
  return next->foundBy == StackFrame::FoundBy::Scan && scannedInARow >= kMaxScannedFrames;
}

void StepFrames(WalkState& state, const MinidumpRegisters& registers, Chain& chain) {
  Frame frame{ContextRegs(state, registers), false};
  size_t scannedInARow = 0;
  while (chain.frames.size() < kMaxStackFrames) {
    const std::optional<Caller> next =
        state.amd64 ? FirstFound(state, frame, kAmd64Steps) : FirstFound(state, frame, kX86Steps);
    if (Stops(frame, next, scannedInARow)) break;
    scannedInARow = next->foundBy == StackFrame::FoundBy::Scan ? scannedInARow + 1 : 0;
    chain.frames.push_back({next->regs.ip, next->foundBy, next->slot, std::nullopt});
    chain.slots.push_back(next->slot);
    if (next->foundBy == StackFrame::FoundBy::Analysis && frame.regs.Known(kSp))
      chain.analysed.push_back({frame.regs.r[kSp], next->slot});
    frame = {next->regs, true};
  }
}

// Every W-aligned word from the stack pointer to the end of the stack that
// could be a caller's (Check::AfterCall), unless it is the slot of a frame
// found by a step or lies in a range the analysis accounts for; then the
// frames after frame 0 in the order of their slots.
void ScanWholeStack(const WalkState& state, uint64_t sp, Chain& chain) {
  const unsigned w = state.w;
  const MinidumpMemory& stack = state.stack;
  std::sort(chain.slots.begin(), chain.slots.end());
  auto nextChainSlot = chain.slots.begin();
  const uint64_t end = stack.start + stack.size;
  uint64_t slot = std::max(sp, stack.start);
  if (slot % w != 0) slot += w - slot % w;
  for (; slot >= stack.start && slot < end && end - slot >= w && chain.frames.size() < kMaxStackFrames; slot += w) {
    while (nextChainSlot != chain.slots.end() && *nextChainSlot < slot) ++nextChainSlot;
    if (nextChainSlot != chain.slots.end() && *nextChainSlot == slot) continue;
    if (std::any_of(chain.analysed.begin(), chain.analysed.end(),
                    [&](const std::pair<uint64_t, uint64_t>& a) { return a.first <= slot && slot < a.second; }))
      continue;
    const std::optional<uint64_t> read = state.dump.Word(stack, slot, w);
    if (!read) break;  // the rest of the block lies past the end of the file
    if (!state.Accepts(*read, Check::AfterCall)) continue;
    chain.frames.push_back({*read, StackFrame::FoundBy::Scan, slot, std::nullopt});
  }
  std::stable_sort(chain.frames.begin() + 1, chain.frames.end(),
                   [](const StackFrame& a, const StackFrame& b) { return a.slot < b.slot; });
}

// Where the bytes before a code address of an image are `E8 rel32`: its target.
std::optional<uint64_t> CallTarget(const WalkState& state, uint64_t address) {
  const ImageAt at = state.FindImage(address);
  if (!at.image || address - at.module->base > UINT32_MAX) return std::nullopt;
  const auto rva = uint32_t(address - at.module->base);
  const auto call = CallBeforeRva(at.image->Image(), at.image->Bytes(), rva);
  if (!call || !call->target) return std::nullopt;
  return state.Word(address + uint64_t(int64_t(int32_t(*call->target - rva))));
}

}  // namespace

std::vector<StackFrame> WalkStack(const Minidump& dump, const MinidumpMemory& stack,
                                  const MinidumpRegisters& registers, const StackWalkOptions& options) {
  WalkState state(dump, stack, options);
  Chain chain;
  chain.frames.push_back({registers.ip, StackFrame::FoundBy::Context, 0, std::nullopt});
  StepFrames(state, registers, chain);
  if (options.scan && options.inCode) ScanWholeStack(state, registers.sp, chain);
  for (size_t i = 1; i < chain.frames.size(); ++i) chain.frames[i].callTarget = CallTarget(state, chain.frames[i].address);
  return chain.frames;
}

}  // namespace qf
