// The stack walk of a thread of a minidump: frame 0 at the instruction
// pointer, then the chain of saved frame pointers, and on request every word
// of the stack that points into code.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "crash/Minidump.h"

namespace qf {

struct StackFrame {
  enum class FoundBy { Context, FramePointer, Scan };
  uint64_t address = 0;
  FoundBy foundBy = FoundBy::Context;
  uint64_t slot = 0;  // where on the stack the address was read (0 for frame 0)
};

struct StackWalkOptions {
  // Also every word of the stack whose value inCode accepts.
  bool scan = false;
  std::function<bool(uint64_t)> inCode;
};

// The frames of a thread from the registers given:
// - frame 0 is the instruction pointer;
// - then, from the frame pointer F, while F is a multiple of the word size
//   W, at least the stack pointer and above the previous F, [F, F + 2W) lies
//   in the thread's stack memory and the word at F + W lies in some module's
//   image: that word is the next frame and F becomes the word at F;
// - with scan, every W-aligned word from the stack pointer to the end of the
//   stack memory that inCode accepts, unless it is a slot of the chain; the
//   frames after frame 0 are then in the order of their slots.
std::vector<StackFrame> WalkStack(const Minidump& dump, const MinidumpMemory& stack,
                                  const MinidumpRegisters& registers, const StackWalkOptions& options);

struct ThreadFrames {
  uint32_t threadId = 0;
  std::vector<StackFrame> frames;
};

// The crashing thread first, walked from the exception's context (without an
// exception stream: the first thread from its own context), then, with
// allThreads, every other thread in the dump's order. Empty when the dump
// has neither an exception nor a thread.
std::vector<ThreadFrames> WalkThreads(const Minidump& dump, const StackWalkOptions& options, bool allThreads);

}  // namespace qf
