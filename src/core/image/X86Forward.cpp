// The forward read: from one instruction to the function's return, depth
// first, fall-through first, backtracking from dead ends, as x64 unwinders
// read epilogs; and through it, what a callee pops (its `ret n`).
#include <vector>

#include "image/CallInstruction.h"
#include "image/X86Analysis.h"

namespace qf {
namespace x86 {
namespace {

constexpr unsigned kMaxForwardSteps = 4096;
constexpr unsigned kMaxCalleeSteps = 1024;  // a callee read for its `ret n`
constexpr unsigned kMaxForwardBranches = 64;
constexpr unsigned kMaxCalleeDepth = 2;

struct Branch {
  uint32_t rva;
  State state;
};

}  // namespace

std::optional<X86Frame> ReadForward(Analysis& analysis, uint32_t rva, uint16_t* retPop, std::optional<uint32_t> end,
                                    unsigned maxSteps, unsigned depth) {
  ForwardReading reading{{analysis, {rva, end ? *end : rva + 0x10000}, depth}};
  std::vector<Branch> branches;
  OffsetMap seen;
  State s;
  uint32_t at = rva;
  unsigned steps = 0, taken = 0;
  const auto deadEnd = [&]() -> bool {
    if (branches.empty() || ++taken > kMaxForwardBranches) return false;
    at = branches.back().rva;
    s = branches.back().state;
    branches.pop_back();
    return true;
  };
  while (++steps < maxSteps && analysis.Spend()) {
    const bool looped = seen.Has(at);
    const std::optional<Step> st = looped ? std::nullopt : analysis.StepAt(at);
    if (!st || st->op == Op::Stop || st->op == Op::JmpIndirect) {
      if (!deadEnd()) return std::nullopt;
      continue;
    }
    seen.Add(at);
    const uint32_t next = at + st->length;
    // Falling through past the function's end, or into filler after a
    // call (a callee that does not return), ends the path.
    const bool fallsOut = (end && next >= *end) ||
                          ((st->op == Op::Call || st->op == Op::CallIndirect) && analysis.FillerAt(next));
    switch (st->op) {
      case Op::Ret:
        if (s.immAt.Known() && s.immAt == s.esp && st->value == 0 && s.imm - uint64_t(analysis.image.imageBase) > at) {
          // `push offset L ... ret`
          s.esp = Plus(s.immAt, 4);
          s.immAt = kLost;
          at = uint32_t(s.imm - analysis.image.imageBase);
          continue;
        }
        if (retPop) *retPop = uint16_t(st->value);
        return FrameForward(s);
      case Op::Jmp:
        at = uint32_t(st->value);
        break;
      case Op::Jcc:
        if (fallsOut) {
          at = uint32_t(st->value);
          break;
        }
        // The fall-through first, unless it is a loop's way back.
        if (uint32_t(st->value) > at) {
          branches.push_back({uint32_t(st->value), s});
          at = next;
        } else {
          branches.push_back({next, s});
          at = uint32_t(st->value);
          if (seen.Has(at)) {
            at = next;
            branches.pop_back();
          }
        }
        break;
      default:
        Apply(reading, *st, s);
        at = next;
        if (fallsOut && !deadEnd()) return std::nullopt;
    }
  }
  return std::nullopt;
}

std::optional<X86Frame> ForwardFrame(Analysis& analysis, uint32_t rva, bool callerFrame, std::optional<uint32_t> end) {
  if (callerFrame) {
    // The call before the return address, and the frame as it was there.
    const std::optional<CallBefore> call = CallBeforeRva(analysis.image, analysis.bytes, rva);
    if (!call) return std::nullopt;
    rva -= call->length;
  }
  return ReadForward(analysis, rva, nullptr, end, kMaxForwardSteps, 0);
}

std::optional<uint16_t> CalleePops(Analysis& analysis, uint32_t entry, unsigned depth) {
  const auto found = analysis.pops.find(entry);
  if (found != analysis.pops.end()) return found->second;
  if (depth >= kMaxCalleeDepth) return std::nullopt;
  analysis.pops[entry] = std::nullopt;  // a call of itself learns nothing
  uint16_t n = 0;
  const std::optional<X86Frame> f = ReadForward(analysis, entry, &n, std::nullopt, kMaxCalleeSteps, depth + 1);
  std::optional<uint16_t> answer;
  if (f && f->slot == X86Value{X86Value::Esp, 0}) answer = n;
  if (!answer && analysis.budget == 0) {
    analysis.pops.erase(entry);  // out of time, not an answer
  } else {
    analysis.pops[entry] = answer;
  }
  return answer;
}

// What a call pops of the stack: the callee's `ret n` for a direct call
// where it can be read, else what the code after the call says (its first
// change of ESP, past jumps: `add esp`, the caller cleans up; `sub esp, N`,
// the callee took N, as GCC writes it), else what was pushed since the stack
// was last balanced.
int32_t CallPops(const Reading& reading, const Step& call, const State& s) {
  Analysis& analysis = reading.analysis;
  std::optional<uint16_t> n;
  if (call.op == Op::Call) n = CalleePops(analysis, uint32_t(call.value), reading.depth);
  if (n) return *n;
  uint32_t at = call.rva + call.length;
  for (int k = 0; k < 8; ++k) {
    const std::optional<Step> after = analysis.StepAt(at);
    if (after && after->op == Op::Jmp) {
      at = uint32_t(after->value);
      continue;
    }
    if (!after || (after->op != Op::Other && after->op != Op::MovEaxImm && after->op != Op::AddEsp)) break;
    if (after->op == Op::AddEsp) return after->value < 0 ? Sub(0, after->value) : 0;
    at += after->length;
  }
  return s.pushed;
}

}  // namespace x86
}  // namespace qf
