// What one x86 instruction does to the stack, as far as the frame analysis
// needs it: each instruction is decoded once (through X86Length) into a step
// that says only what it does to ESP, EBP and the callee-saved registers.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "image/X86Frames.h"

namespace qf {
namespace x86 {

enum class Op : uint8_t {
  Other, Push, Pop, AddEsp, EspFromEbp, EbpFromEsp, LostEsp, Leave, Enter, Ret, Jmp, JmpIndirect, Jcc,
  Call, CallIndirect, Pushad, Popad, Stop, MovEaxImm, SubEspEax,
  LeaFromEsp,  // lea reg,[esp+value] (reg: not ESP nor EBP)
  EspFromReg,  // lea esp,[reg+value]
  AlignEsp     // and esp,-N
};

struct Step {
  uint32_t rva = 0;
  uint8_t length = 0;
  Op op = Op::Other;
  uint8_t reg = 0xFF;    // Push/Pop of a register
  uint8_t size = 4;      // Push/Pop
  uint8_t writes = 0;    // registers written (bit per register)
  bool immediate = false;  // Push of an immediate (value)
  uint8_t segment = 0;     // its segment prefix
  int32_t value = 0;     // immediate, displacement, ESP change, target RVA, ret n; Enter: size | level << 16
};

inline uint8_t Bit(unsigned reg) { return uint8_t(1u << reg); }

// Stack arithmetic wraps as the processor's does.
inline int32_t Add(int32_t a, int32_t b) { return int32_t(uint32_t(a) + uint32_t(b)); }
inline int32_t Sub(int32_t a, int32_t b) { return int32_t(uint32_t(a) - uint32_t(b)); }

inline bool IsCalleeSaved(uint8_t r) { return r == kEbx || r == kEbp || r == kEsi || r == kEdi; }

// The step of the instruction at code[at] (code: its section's bytes from
// the RVA base); none where the bytes are no instruction.
std::optional<Step> Decode(std::string_view code, size_t at, uint32_t base);

// Whether the bytes at code[at] are the filler compilers put between
// functions (nop, int3, and the long nops: xchg ax,ax, lea esi,[esi+0] and
// the like, nop r/m): after a call, the sign of a callee that does not return.
bool IsFiller(std::string_view code, size_t at);

}  // namespace x86
}  // namespace qf
