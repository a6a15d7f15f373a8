// The unwind by the image's tables, the frame-pointer chain and the stack
// scan over the dump's stack memory.
#include "crash/StackWalk.h"

#include <algorithm>
#include <array>
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

// x86 registers as a walk knows them: EAX to EDI in ModRM order, a bit of
// `known` for each one whose value is the frame's.
struct X86Regs {
  std::array<uint32_t, 8> r{};
  uint8_t known = 0;
  uint32_t eip = 0;
  bool Known(uint8_t reg) const { return (known >> reg & 1) != 0; }
};

struct X86Caller {
  X86Regs regs;
  uint64_t slot = 0;
  StackFrame::FoundBy foundBy = StackFrame::FoundBy::Analysis;
};

constexpr unsigned kScanWords = 40;         // words a scan step reads above a caller frame
constexpr unsigned kScanWordsContext = 160; // and above the context frame

class X86Walk {
 public:
  X86Walk(const Minidump& dump, const MinidumpMemory& stack, const StackWalkOptions& options)
      : dump_(dump), stack_(stack), options_(options) {}

  std::optional<uint32_t> Read(uint64_t address) const {
    const std::optional<uint64_t> w = ReadWord(dump_, stack_, address, 4);
    if (!w) return std::nullopt;
    return uint32_t(*w);
  }

  // Whether a word can be a return address: in a module's code, and after a
  // call where the module has an image; the call's target, if direct, then.
  bool AfterCall(uint32_t address, std::optional<uint64_t>* target = nullptr) const {
    const ImageAt at = FindImage(dump_, options_, address);
    if (!at.module) return false;
    if (options_.inCode && !options_.inCode(address)) return false;
    if (!at.image) return !!options_.inCode;
    const auto call = CallBeforeRva(at.image->Image(), at.image->Bytes(), uint32_t(address - at.module->base));
    if (!call) return false;
    if (target && call->target) *target = at.module->base + *call->target;
    return true;
  }

  // The analysis of the frame at regs (a caller frame: at its call).
  // known: whether the analysis answered at all.
  std::optional<X86Caller> Analysis(const ImageAt& at, const X86Regs& regs, bool caller, bool& known) const {
    known = false;
    if (!at.image || at.image->Image().machine != PeImage::Machine::X86) return std::nullopt;
    const uint64_t lookup = caller ? uint64_t(regs.eip) - 1 : regs.eip;
    std::optional<std::pair<uint32_t, uint32_t>> function;
    if (options_.functionAt) {
      if (const auto f = options_.functionAt(lookup); f && f->first >= at.module->base && f->second > f->first &&
                                                      f->second - at.module->base <= UINT32_MAX)
        function = std::make_pair(uint32_t(f->first - at.module->base), uint32_t(f->second - at.module->base));
    }
    const std::optional<X86Frame> frame =
        at.image->X86().FrameAt(uint32_t(regs.eip - at.module->base), caller, function);
    if (!frame) return std::nullopt;
    const uint8_t base = frame->slot.base == X86Value::Esp ? kEsp : kEbp;
    if (!regs.Known(base)) return std::nullopt;
    known = true;
    uint32_t slot = regs.r[base] + uint32_t(frame->slot.offset);
    if (frame->indirect) {  // a realigned frame: the slot through the pointer it saved
      const std::optional<uint32_t> pointer = Read(slot);
      if (!pointer) return std::nullopt;
      slot = *pointer + uint32_t(frame->indirectOffset);
    }
    const std::optional<uint32_t> ret = Read(slot);
    if (!ret || !AfterCall(*ret)) return std::nullopt;
    X86Caller c;
    c.slot = slot;
    c.regs.eip = *ret;
    c.regs.r[kEsp] = slot + 4;
    c.regs.known = uint8_t(1u << kEsp);
    for (const uint8_t r : {kEbx, kEbp, kEsi, kEdi}) {
      const X86Value& saved = frame->saved[r];
      if (saved.base == X86Value::None) {
        c.regs.r[r] = regs.r[r];
        if (regs.Known(r)) c.regs.known |= uint8_t(1u << r);
      } else if (saved.Known()) {
        const uint8_t from = saved.base == X86Value::Esp ? kEsp : kEbp;
        if (!regs.Known(from)) continue;
        if (const std::optional<uint32_t> v = Read(regs.r[from] + uint32_t(saved.offset))) {
          c.regs.r[r] = *v;
          c.regs.known |= uint8_t(1u << r);
        }
      }
    }
    return c;
  }

  std::optional<X86Caller> FramePointer(const X86Regs& regs) {
    if (!regs.Known(kEbp)) return std::nullopt;
    const uint64_t f = regs.r[kEbp];
    if (f % 4 != 0 || (regs.Known(kEsp) && f < regs.r[kEsp]) || (haveLastF_ && f <= lastF_) || !stack_.Contains(f, 8))
      return std::nullopt;
    const std::optional<uint64_t> ret = dump_.Word(stack_, f + 4, 4);
    const std::optional<uint64_t> next = dump_.Word(stack_, f, 4);
    if (!ret || !next || !dump_.ModuleAt(*ret)) return std::nullopt;
    lastF_ = f;
    haveLastF_ = true;
    X86Caller c;
    c.slot = f + 4;
    c.foundBy = StackFrame::FoundBy::FramePointer;
    c.regs.eip = uint32_t(*ret);
    c.regs.r[kEbp] = uint32_t(*next);
    c.regs.r[kEsp] = uint32_t(f + 8);
    c.regs.known = uint8_t(1u << kEbp | 1u << kEsp);
    return c;
  }

  // A few words above ESP: the first that lies after a call of the frame's
  // function (or after an indirect call).
  std::optional<X86Caller> Scan(const X86Regs& regs, bool caller) const {
    if (!regs.Known(kEsp)) return std::nullopt;
    std::optional<uint64_t> function;
    if (options_.functionAt)
      if (const auto f = options_.functionAt(caller ? uint64_t(regs.eip) - 1 : regs.eip)) function = f->first;
    const unsigned words = caller ? kScanWords : kScanWordsContext;
    uint64_t slot = regs.r[kEsp];
    for (unsigned i = 0; i < words && stack_.Contains(slot, 4); ++i, slot += 4) {
      const std::optional<uint32_t> word = Read(slot);
      if (!word) break;
      std::optional<uint64_t> target;
      if (!AfterCall(*word, &target)) continue;
      if (function && target && *target != *function) continue;
      X86Caller c;
      c.slot = slot;
      c.foundBy = StackFrame::FoundBy::Scan;
      c.regs.eip = *word;
      c.regs.r[kEsp] = uint32_t(slot + 4);
      c.regs.known = uint8_t(1u << kEsp);
      return c;
    }
    return std::nullopt;
  }

  // Frame 0 outside every module (a call through a bad pointer): the call
  // has just pushed its return address, which lies at ESP, in code of an
  // image after a call.
  std::optional<X86Caller> JustCalled(const X86Regs& regs) const {
    const std::optional<uint32_t> ret = Read(regs.r[kEsp]);
    if (!ret) return std::nullopt;
    const ImageAt to = FindImage(dump_, options_, *ret);
    if (!to.image || to.image->Image().machine != PeImage::Machine::X86 || !AfterCall(*ret)) return std::nullopt;
    X86Caller c;
    c.slot = regs.r[kEsp];
    c.regs = regs;
    c.regs.eip = *ret;
    c.regs.r[kEsp] = regs.r[kEsp] + 4;
    c.regs.known &= uint8_t(1u << kEbx | 1u << kEsp | 1u << kEbp | 1u << kEsi | 1u << kEdi);
    return c;
  }

  // The caller of the frame at regs, by the first step that answers.
  std::optional<X86Caller> Step(const X86Regs& regs, bool caller) {
    if (!caller && !dump_.ModuleAt(regs.eip))
      if (auto c = JustCalled(regs)) return c;
    const ImageAt at = FindImage(dump_, options_, caller ? uint64_t(regs.eip) - 1 : regs.eip);
    if (!at.image || at.image->Image().machine != PeImage::Machine::X86) return FramePointer(regs);
    bool known = false;
    if (auto c = Analysis(at, regs, caller, known)) return c;
    if (!known)
      if (auto c = FramePointer(regs)) return c;
    return Scan(regs, caller);
  }

 private:
  const Minidump& dump_;
  const MinidumpMemory& stack_;
  const StackWalkOptions& options_;
  uint64_t lastF_ = 0;  // the frame pointer of the last frame-pointer step
  bool haveLastF_ = false;
};

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
  // Stack ranges the analysis accounts for: no scanned word is taken there.
  std::vector<std::pair<uint64_t, uint64_t>> analysed;
  if (!amd64) {
    X86Walk walk(dump, stack, options);
    X86Regs regs;
    for (size_t i = 0; i < 8; ++i) regs.r[i] = uint32_t(registers.general[i]);
    regs.r[kEsp] = uint32_t(registers.sp);
    regs.r[kEbp] = uint32_t(registers.fp);
    regs.eip = uint32_t(registers.ip);
    regs.known = 0xFF;
    while (frames.size() < kMaxStackFrames) {
      const std::optional<X86Caller> next = walk.Step(regs, caller);
      if (!next || (regs.Known(kEsp) && next->regs.r[kEsp] <= regs.r[kEsp]) || !dump.ModuleAt(next->regs.eip)) break;
      frames.push_back({next->regs.eip, next->foundBy, next->slot, std::nullopt});
      chainSlots.push_back(next->slot);
      if (next->foundBy == StackFrame::FoundBy::Analysis && regs.Known(kEsp))
        analysed.push_back({regs.r[kEsp], next->slot});
      regs = next->regs;
      caller = true;
    }
  }
  while (amd64 && frames.size() < kMaxStackFrames) {
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
      if (std::any_of(analysed.begin(), analysed.end(),
                      [&](const std::pair<uint64_t, uint64_t>& a) { return a.first <= slot && slot < a.second; }))
        continue;
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
