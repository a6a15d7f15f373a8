// The frame-pointer chain and the stack scan over the dump's stack memory.
#include "crash/StackWalk.h"

#include <algorithm>
#include <unordered_set>

namespace qf {
namespace {

// The little-endian word of `size` bytes at `address`, which the caller
// checked lies in the block.
uint64_t WordAt(const MinidumpMemory& block, uint64_t address, unsigned size) {
  uint64_t value = 0;
  const size_t at = size_t(address - block.start);
  for (unsigned i = size; i-- > 0;) value = value << 8 | static_cast<unsigned char>(block.bytes[at + i]);
  return value;
}

}  // namespace

std::vector<StackFrame> WalkStack(const Minidump& dump, const MinidumpMemory& stack,
                                  const MinidumpRegisters& registers, const StackWalkOptions& options) {
  const unsigned w = dump.WordSize();
  std::vector<StackFrame> frames{{registers.ip, StackFrame::FoundBy::Context, 0}};
  std::unordered_set<uint64_t> chainSlots;
  uint64_t f = registers.fp;
  bool first = true;
  uint64_t previous = 0;
  while (f % w == 0 && f >= registers.sp && (first || f > previous) && stack.Contains(f, 2 * uint64_t(w))) {
    const uint64_t returnAddress = WordAt(stack, f + w, w);
    if (!dump.ModuleAt(returnAddress)) break;
    frames.push_back({returnAddress, StackFrame::FoundBy::FramePointer, f + w});
    chainSlots.insert(f + w);
    previous = f;
    first = false;
    f = WordAt(stack, f, w);
  }
  if (!options.scan || !options.inCode) return frames;

  const uint64_t end = stack.start + stack.bytes.size();
  uint64_t slot = std::max(registers.sp, stack.start);
  if (slot % w != 0) slot += w - slot % w;
  for (; slot >= stack.start && slot < end && end - slot >= w; slot += w) {
    if (chainSlots.count(slot)) continue;
    const uint64_t value = WordAt(stack, slot, w);
    if (options.inCode(value)) frames.push_back({value, StackFrame::FoundBy::Scan, slot});
  }
  std::stable_sort(frames.begin() + 1, frames.end(),
                   [](const StackFrame& a, const StackFrame& b) { return a.slot < b.slot; });
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
