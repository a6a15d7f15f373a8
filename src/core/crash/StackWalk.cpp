// The frame-pointer chain and the stack scan over the dump's stack memory.
#include "crash/StackWalk.h"

#include <algorithm>
#include <unordered_set>

namespace qf {

std::vector<StackFrame> WalkStack(const Minidump& dump, const MinidumpMemory& stack,
                                  const MinidumpRegisters& registers, const StackWalkOptions& options) {
  const unsigned w = dump.WordSize();
  std::vector<StackFrame> frames{{registers.ip, StackFrame::FoundBy::Context, 0}};
  std::unordered_set<uint64_t> chainSlots;
  uint64_t f = registers.fp;
  bool first = true;
  uint64_t previous = 0;
  while (f % w == 0 && f >= registers.sp && (first || f > previous) && stack.Contains(f, 2 * uint64_t(w))) {
    // Each word is read from the dump's file, checked against the block and
    // the file's size.
    const std::optional<uint64_t> returnAddress = dump.Word(stack, f + w, w);
    const std::optional<uint64_t> next = dump.Word(stack, f, w);
    if (!returnAddress || !next || !dump.ModuleAt(*returnAddress)) break;
    frames.push_back({*returnAddress, StackFrame::FoundBy::FramePointer, f + w});
    chainSlots.insert(f + w);
    previous = f;
    first = false;
    f = *next;
  }
  if (!options.scan || !options.inCode) return frames;

  const uint64_t end = stack.start + stack.size;
  uint64_t slot = std::max(registers.sp, stack.start);
  if (slot % w != 0) slot += w - slot % w;
  for (; slot >= stack.start && slot < end && end - slot >= w; slot += w) {
    if (chainSlots.count(slot)) continue;
    const std::optional<uint64_t> value = dump.Word(stack, slot, w);
    if (!value) break;  // the rest of the block lies past the end of the file
    if (options.inCode(*value)) frames.push_back({*value, StackFrame::FoundBy::Scan, slot});
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
