// The unwind by the image's tables, the frame-pointer chain and the stack
// scan over the dump's stack memory.
#include "crash/StackWalk.h"

#include <algorithm>
#include <vector>

#include "image/CallInstruction.h"

namespace qf {
namespace {

// The word of the dump's memory at an address: from the stack, else from
// any block of the memory lists; each read from the dump's file, checked
// against the block and the file's size.
std::optional<uint64_t> ReadWord(const Minidump& dump, const MinidumpMemory& stack, uint64_t address, unsigned w) {
  if (stack.Contains(address, w)) return dump.Word(stack, address, w);
  if (const auto block = dump.MemoryAt(address, w)) return dump.Word(*block, address, w);
  return std::nullopt;
}

// The image of the module that holds the address, with the module.
struct ImageAt {
  const MinidumpModule* module = nullptr;
  const ModuleImage* image = nullptr;
};

ImageAt FindImage(const Minidump& dump, const StackWalkOptions& options, uint64_t address) {
  ImageAt at;
  at.module = dump.ModuleAt(address);
  if (at.module && options.imageOf) at.image = options.imageOf(*at.module);
  return at;
}

// Where the bytes before a code address of an image are `E8 rel32`: its target.
std::optional<uint64_t> CallTarget(const ImageAt& at, uint64_t address, unsigned w) {
  if (!at.image || address - at.module->base > UINT32_MAX) return std::nullopt;
  const auto rva = uint32_t(address - at.module->base);
  const auto call = CallBeforeRva(at.image->Image(), at.image->Bytes(), rva);
  if (!call || !call->target) return std::nullopt;
  const uint64_t target = address + uint64_t(int64_t(int32_t(*call->target - rva)));
  return w == 4 ? target & 0xFFFFFFFF : target;
}

}  // namespace

std::vector<StackFrame> WalkStack(const Minidump& dump, const MinidumpMemory& stack,
                                  const MinidumpRegisters& registers, const StackWalkOptions& options) {
  const unsigned w = dump.WordSize();
  const bool amd64 = dump.processor == Minidump::Processor::Amd64;
  std::vector<StackFrame> frames{{registers.ip, StackFrame::FoundBy::Context, 0, std::nullopt}};
  std::vector<uint64_t> chainSlots;  // the slots of the frames found before the scan
  const ReadMemory64 read = [&](uint64_t address) { return ReadWord(dump, stack, address, 8); };

  X64Context context;
  context.r = registers.general;
  context.r[kRsp] = registers.sp;
  context.r[kRbp] = registers.fp;
  context.rip = registers.ip;
  bool caller = false;             // the context is that of a caller frame
  std::optional<uint64_t> lastF;   // the frame pointer of the last frame-pointer step
  while (frames.size() < kMaxStackFrames) {
    const ImageAt at = FindImage(dump, options, caller ? context.rip - 1 : context.rip);
    if (amd64 && at.image && at.image->Image().machine == PeImage::Machine::Amd64) {
      const std::optional<UnwindStep> step = UnwindX64(at.image->Unwind(), at.image->Image(), at.image->Bytes(),
                                                       at.module->base, context, caller, read);
      if (!step || step->context.r[kRsp] <= context.r[kRsp] || !dump.ModuleAt(step->context.rip)) break;
      context = step->context;
      frames.push_back({context.rip, StackFrame::FoundBy::Unwind, step->returnSlot, std::nullopt});
      chainSlots.push_back(step->returnSlot);
    } else {
      const uint64_t f = context.r[kRbp];
      if (f % w != 0 || f < context.r[kRsp] || (lastF && f <= *lastF) || !stack.Contains(f, 2 * uint64_t(w))) break;
      const std::optional<uint64_t> returnAddress = dump.Word(stack, f + w, w);
      const std::optional<uint64_t> next = dump.Word(stack, f, w);
      if (!returnAddress || !next || !dump.ModuleAt(*returnAddress)) break;
      frames.push_back({*returnAddress, StackFrame::FoundBy::FramePointer, f + w, std::nullopt});
      chainSlots.push_back(f + w);
      lastF = f;
      context.r[kRbp] = *next;
      context.r[kRsp] = f + 2 * uint64_t(w);
      context.rip = *returnAddress;
    }
    caller = true;
  }

  if (options.scan && options.inCode) {
    std::sort(chainSlots.begin(), chainSlots.end());
    auto nextChainSlot = chainSlots.begin();
    const uint64_t end = stack.start + stack.size;
    uint64_t slot = std::max(registers.sp, stack.start);
    if (slot % w != 0) slot += w - slot % w;
    for (; slot >= stack.start && slot < end && end - slot >= w && frames.size() < kMaxStackFrames; slot += w) {
      while (nextChainSlot != chainSlots.end() && *nextChainSlot < slot) ++nextChainSlot;
      if (nextChainSlot != chainSlots.end() && *nextChainSlot == slot) continue;
      const std::optional<uint64_t> read = dump.Word(stack, slot, w);
      if (!read) break;  // the rest of the block lies past the end of the file
      const uint64_t value = *read;
      if (!options.inCode(value)) continue;
      // A word in the code of a module with an image counts only after a call.
      const ImageAt at = FindImage(dump, options, value);
      if (at.image && !CallBeforeRva(at.image->Image(), at.image->Bytes(), uint32_t(value - at.module->base)))
        continue;
      frames.push_back({value, StackFrame::FoundBy::Scan, slot, std::nullopt});
    }
    std::stable_sort(frames.begin() + 1, frames.end(),
                     [](const StackFrame& a, const StackFrame& b) { return a.slot < b.slot; });
  }
  for (size_t i = 1; i < frames.size(); ++i)
    frames[i].callTarget = CallTarget(FindImage(dump, options, frames[i].address), frames[i].address, w);
  return frames;
}

std::vector<ThreadFrames> WalkThreads(const Minidump& dump, const StackWalkOptions& options, bool allThreads) {
  std::vector<ThreadFrames> walks;
  const MinidumpThread* crashing = nullptr;
  if (dump.exception) {
    crashing = dump.Thread(dump.exception->threadId);
    const MinidumpMemory stack = crashing ? crashing->stack : MinidumpMemory{};
    ThreadFrames walk{dump.exception->threadId, {}};
    if (dump.exception->registers) walk.frames = WalkStack(dump, stack, *dump.exception->registers, options);
    walks.push_back(std::move(walk));
  } else if (!dump.threads.empty()) {
    crashing = &dump.threads.front();
    ThreadFrames walk{crashing->id, {}};
    if (crashing->registers) walk.frames = WalkStack(dump, crashing->stack, *crashing->registers, options);
    walks.push_back(std::move(walk));
  }
  if (!allThreads) return walks;
  for (const MinidumpThread& thread : dump.threads) {
    if (&thread == crashing) continue;
    ThreadFrames walk{thread.id, {}};
    if (thread.registers) walk.frames = WalkStack(dump, thread.stack, *thread.registers, options);
    walks.push_back(std::move(walk));
  }
  return walks;
}

}  // namespace qf
