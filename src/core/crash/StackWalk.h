// The stack walk of a thread of a minidump: frame 0 at the instruction
// pointer, then, frame by frame, the unwind tables of the module's image
// where it has one (x64), else the chain of saved frame pointers, and on
// request every word of the stack that points into code (checked against
// the code of the module's image, where it has one).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "crash/Minidump.h"
#include "image/PeImage.h"
#include "image/UnwindInfo.h"

namespace qf {

struct StackFrame {
  enum class FoundBy { Context, FramePointer, Unwind, Scan };
  uint64_t address = 0;
  FoundBy foundBy = FoundBy::Context;
  uint64_t slot = 0;  // where on the stack the address was read (0 for frame 0)
  // Where the module has an image and the bytes before the address are
  // `E8 rel32`: the address that call calls.
  std::optional<uint64_t> callTarget;
};

// The executable image of a module of the dump: its headers, its bytes (kept
// alive by the caller) and its unwind table. Neither copied nor moved: the
// table points at the headers.
class ModuleImage {
 public:
  ModuleImage(PeImage image, std::string_view bytes) : image_(std::move(image)), bytes_(bytes), unwind_(image_, bytes_) {}
  ModuleImage(const ModuleImage&) = delete;
  ModuleImage& operator=(const ModuleImage&) = delete;
  const PeImage& Image() const { return image_; }
  std::string_view Bytes() const { return bytes_; }
  const UnwindTable& Unwind() const { return unwind_; }
  // Whether it is the image of the module: the same TimeDateStamp and SizeOfImage.
  bool Matches(const MinidumpModule& module) const {
    return image_.timeDateStamp == module.timeDateStamp && image_.sizeOfImage == module.size;
  }

 private:
  PeImage image_;
  std::string_view bytes_;
  UnwindTable unwind_;
};

struct StackWalkOptions {
  // Also every word of the stack whose value inCode accepts.
  bool scan = false;
  std::function<bool(uint64_t)> inCode;
  // The image of a module of the dump, else null (or no function: none).
  std::function<const ModuleImage*(const MinidumpModule&)> imageOf;
};

// At most this many frames a thread.
constexpr size_t kMaxStackFrames = 1000;

// The frames of a thread from the registers given:
// - frame 0 is the instruction pointer;
// - then, from each frame to the next: in an AMD64 dump, where the frame's
//   module has an image (looked up at the return address - 1 for a caller
//   frame), one step of the x64 unwind (UnwindX64) from the frame's
//   registers, found by Unwind; else from the frame pointer F, while F is a
//   multiple of the word size W, at least the stack pointer and above the
//   previous F, [F, F + 2W) lies in the thread's stack memory: the word at
//   F + W, found by FramePointer, and F becomes the word at F. Every step
//   must move the stack pointer up and give an address in some module;
// - with scan, every W-aligned word from the stack pointer to the end of the
//   stack memory that inCode accepts, unless it is a slot of a frame found
//   before, and, where its module has an image, unless the bytes before it
//   are no call instruction; the frames after frame 0 are then in the order
//   of their slots.
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
