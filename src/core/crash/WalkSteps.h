// The steps of the stack walk, from a frame to its caller, and what they
// share: the registers of a frame as the walk knows them, the three results
// of a step, the one check of a candidate caller's address, and each
// processor's list of steps in the order they are tried.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "crash/StackWalk.h"

namespace qf::walk {

// Register numbers shared by both processors: the x64 unwind codes' order,
// whose first eight are x86's EAX to EDI in ModRM order.
constexpr uint8_t kSp = 4;  // ESP / RSP
constexpr uint8_t kFp = 5;  // EBP / RBP

// A frame's registers: a bit of `known` for each one whose value is the
// frame's (on x86 the values are 32-bit).
struct FrameRegs {
  std::array<uint64_t, 16> r{};
  uint16_t known = 0;
  uint64_t ip = 0;
  bool Known(uint8_t reg) const { return (known >> reg & 1) != 0; }
};

// A frame to step from: its registers, and whether it is a caller frame
// (its ip a return address, looked up at ip - 1).
struct Frame {
  FrameRegs regs;
  bool caller = false;
  uint64_t LookupAddress() const { return caller ? regs.ip - 1 : regs.ip; }
};

// A caller a step found: its registers and the stack slot its return
// address was read from.
struct Caller {
  FrameRegs regs;
  uint64_t slot = 0;
  StackFrame::FoundBy foundBy = StackFrame::FoundBy::Analysis;
};

// What a step says about a frame's caller: found; did not know (the step
// does not apply to the frame); rejected (the step knew where the caller's
// return address lies, and the word there is none).
struct StepResult {
  enum class Kind { Found, DidNotKnow, Rejected };
  Kind kind = Kind::DidNotKnow;
  Caller caller;

  static StepResult Found(const Caller& c) { return {Kind::Found, c}; }
  static StepResult DidNotKnow() { return {Kind::DidNotKnow, {}}; }
  static StepResult Rejected() { return {Kind::Rejected, {}}; }
};

// The image of the module that holds an address, with the module.
struct ImageAt {
  const MinidumpModule* module = nullptr;
  const ModuleImage* image = nullptr;
  bool Is(PeImage::Machine machine) const { return image && image->Image().machine == machine; }
};

// How much a candidate caller's address must show to be taken:
// InModule: it lies in a module (the unwind tables and the frame-pointer
// chain are trusted for the rest); AfterCall: it also lies in code (as
// inCode says) and, where its module has an image, just after a call.
enum class Check { InModule, AfterCall };

// One walk of one thread: the dump, the thread's stack and the options,
// and the state the steps keep from frame to frame.
class WalkState {
 public:
  WalkState(const Minidump& dump, const MinidumpMemory& stack, const StackWalkOptions& options)
      : dump(dump), stack(stack), options(options), w(dump.WordSize()), amd64(dump.processor == Minidump::Processor::Amd64) {}

  // The word at an address: from the stack, else from any block of the
  // dump's memory lists; each read checked against the block and the file.
  std::optional<uint64_t> Read(uint64_t address) const;
  ImageAt FindImage(uint64_t address) const;
  // The image of the dump's own processor of the frame's module.
  ImageAt ImageOfFrame(const Frame& frame) const;
  // Whether an address can be a caller's: check's rule; target: where it
  // lies after a direct call, that call's target.
  bool Accepts(uint64_t address, Check check, std::optional<uint64_t>* target = nullptr) const;
  // The value as a register of the dump's processor holds it.
  uint64_t Word(uint64_t value) const { return w == 4 ? value & 0xFFFFFFFF : value; }

  const Minidump& dump;
  const MinidumpMemory& stack;
  const StackWalkOptions& options;
  const unsigned w;
  const bool amd64;
  std::optional<uint64_t> lastFp;  // the frame pointer of the last frame-pointer step
};

using Step = StepResult (*)(WalkState& state, const Frame& frame);

// A step of a processor's list; afterRejection: whether it is tried after
// an earlier step rejected the frame's caller (a step that knew the frame
// and found no caller rules out a guess by the frame pointer).
struct StepEntry {
  Step step;
  bool afterRejection;
};

// Frame 0 outside every module (a call through a bad pointer): the return
// address the call has just pushed, at ESP.
StepResult JustCalled(WalkState& state, const Frame& frame);
// The x86 frame analysis of the frame's function (X86Code::FrameAt).
StepResult Analysis(WalkState& state, const Frame& frame);
// One step of the x64 unwind by the image's tables (UnwindX64).
StepResult UnwindTables(WalkState& state, const Frame& frame);
// The chain of saved frame pointers.
StepResult FramePointer(WalkState& state, const Frame& frame);
// A few words above the stack pointer: the first after a call of the
// frame's function (or after an indirect call).
StepResult CheckedScan(WalkState& state, const Frame& frame);

// The steps in the order they are tried.
constexpr std::array<StepEntry, 4> kX86Steps{{
    {JustCalled, false},
    {Analysis, false},
    {FramePointer, false},
    {CheckedScan, true},
}};
// The unwind tables of an image know every function of it: where they fail
// no guess follows. The scan needs an image too: on AMD64 it is tried only
// where the unwind did not know, where there is none, and so does not know
// either.
constexpr std::array<StepEntry, 3> kAmd64Steps{{
    {UnwindTables, false},
    {FramePointer, false},
    {CheckedScan, false},
}};

}  // namespace qf::walk
