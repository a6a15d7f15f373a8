// The stack walk of the threads of a minidump: frame 0 at the instruction
// pointer, then, frame by frame, the first step of the processor's list
// that finds the caller (the unwind tables of the module's image on x64,
// the frame analysis on x86, the chain of saved frame pointers, a checked
// scan), and on request every word of the stack that points into code
// (checked against the code of the module's image, where it has one).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crash/Minidump.h"
#include "crash/Wow64View.h"
#include "image/PeImage.h"
#include "image/UnwindInfo.h"
#include "image/X86Frames.h"

namespace qf {

struct StackFrame {
  // How the frame was found, most trusted first.
  enum class FoundBy { Context, Unwind, Analysis, FramePointer, Scan };
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
  // The frame analysis of an x86 image, with the tables of the functions
  // asked about so far (one walk at a time).
  X86Code& X86() const {
    if (!x86_) x86_ = std::make_unique<X86Code>(image_, bytes_);
    return *x86_;
  }
  // Whether it is the image of the module: the same TimeDateStamp and SizeOfImage.
  bool Matches(const MinidumpModule& module) const {
    return image_.timeDateStamp == module.timeDateStamp && image_.sizeOfImage == module.size;
  }

 private:
  PeImage image_;
  std::string_view bytes_;
  UnwindTable unwind_;
  mutable std::unique_ptr<X86Code> x86_;
};

struct StackWalkOptions {
  // Also every word of the stack whose value inCode accepts (whether an
  // address lies in code of a module of the dump).
  bool scan = false;
  std::function<bool(uint64_t)> inCode;
  // The image of a module of the dump, else null (or no function: none).
  std::function<const ModuleImage*(const MinidumpModule&)> imageOf;
  // The function that holds an address: its start and end, else none (or
  // no function: none known).
  std::function<std::optional<std::pair<uint64_t, uint64_t>>(uint64_t)> functionAt;
};

// At most this many frames a thread.
constexpr size_t kMaxStackFrames = 1000;
// At most this many frames in a row found by the scan step: past them a
// scan finds words a call left, not callers.
constexpr size_t kMaxScannedFrames = 100;

// The frames of a thread from the registers given:
// - frame 0 is the instruction pointer;
// - then, from each frame to the next, the first of the processor's steps
//   that finds a caller (crash/WalkSteps.h). x86: the return address a call
//   has just pushed (frame 0 outside every module: a call through a bad
//   pointer), the frame analysis of the function functionAt gives
//   (X86Code::FrameAt, where the frame's module has an x86 image; found by
//   Analysis, which also recovers EBX, EBP, ESI and EDI), the frame-pointer
//   chain (FramePointer), a scan of a few words for a return address after
//   a call of the frame's function or an indirect call (Scan, where the
//   frame's module has an image). AMD64: one step of the x64 unwind
//   (UnwindX64, where the frame's module has an image; Unwind), the
//   frame-pointer chain, the scan. A step that knew the frame and found its
//   caller's return address to be none leaves only the scan on x86, and
//   nothing on AMD64. The frame-pointer chain: from F, while F is a
//   multiple of the word size W, at least the stack pointer and above the
//   previous F, [F, F + 2W) lies in the thread's stack memory: the word at
//   F + W, and F becomes the word at F. A caller's address lies in a module
//   and, but for the unwind and the frame-pointer chain, in code after a
//   call; the walk ends where no step finds one, where the stack pointer
//   does not move up, and at kMaxScannedFrames scanned frames in a row (a
//   caller frame is looked up at its address - 1);
// - with scan, every W-aligned word from the stack pointer to the end of the
//   stack memory that inCode accepts, unless it is a slot of a frame found
//   before or lies between two frames the analysis found, and, where its
//   module has an image, unless the bytes before it are no call
//   instruction; the frames after frame 0 are then in the order of their
//   slots.
std::vector<StackFrame> WalkStack(const Minidump& dump, const MinidumpMemory& stack,
                                  const MinidumpRegisters& registers, const StackWalkOptions& options);

struct ThreadFrames {
  uint32_t threadId = 0;
  std::vector<StackFrame> frames;
  // With the 32-bit view of a WOW64 dump: whether the thread was walked in
  // it, else why not (as Wow64View::whyNot gives it).
  bool inView = false;
  std::string whyNative;
};

// A 64-bit dump of a 32-bit process seen as 32-bit (Wow64View), with the
// options for the walks in the view (its modules are the view's).
struct Wow64Walk {
  const Wow64View& view;
  const StackWalkOptions& options;
};

// The crashing thread first, walked from the exception's context (without an
// exception stream: the first thread from its own context), then, with
// allThreads, every other thread in the dump's order. Empty when the dump
// has neither an exception nor a thread. With a 32-bit view: each thread
// that has one is walked in it, from its 32-bit registers, the others (and
// a crashing thread the dump does not hold) in the dump as read.
std::vector<ThreadFrames> WalkThreads(const Minidump& dump, const StackWalkOptions& options, bool allThreads,
                                      const std::optional<Wow64Walk>& view = std::nullopt);

// Whether every thread is walked: when asked, and when the dump has no
// exception (a hang: no crashed thread to choose).
inline bool WalksAllThreads(const Minidump& dump, bool asked) { return asked || !dump.exception; }

}  // namespace qf
