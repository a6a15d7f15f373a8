// Each instruction is decoded once into a step; the steps are all the
// analysis reads of the code.
#include "image/X86Effects.h"

#include "image/X86Length.h"

namespace qf {
namespace x86 {
namespace {

// The general registers an instruction writes, as far as the stack walk
// needs them (ESP and EBP above all); pushes, pops and the like are steps.
uint8_t Writes(const X86Instruction& i) {
  const uint8_t rm = i.hasModrm && i.Mod() == 3 ? Bit(i.Rm()) : 0;
  const uint8_t rm8 = i.hasModrm && i.Mod() == 3 ? Bit(i.Rm() & 3) : 0;
  const uint8_t reg = i.hasModrm ? Bit(i.Reg()) : 0;
  const uint8_t op = i.opcode;
  if (i.vex) return i.map == 3 && op >= 0xF2 && op <= 0xF7 ? reg : 0;
  if (i.map == 1) {
    if (op < 0x40 && (op & 7) <= 3 && (op & 0x38) != 0x38)
      return (op & 1) ? ((op & 2) ? reg : rm) : ((op & 2) ? Bit(i.Reg() & 3) : rm8);
    if (op >= 0x40 && op <= 0x4F) return Bit(op & 7);
    if (op == 0x69 || op == 0x6B || op == 0x8B || op == 0x8D || op == 0x8A) return op == 0x8A ? Bit(i.Reg() & 3) : reg;
    if (op == 0x80 || op == 0x82) return i.Reg() == 7 ? 0 : rm8;
    if (op == 0x81 || op == 0x83) return i.Reg() == 7 ? 0 : rm;
    if (op == 0x86) return Bit(i.Reg() & 3) | rm8;
    if (op == 0x87) return reg | rm;
    if (op == 0x88 || op == 0xC6 || op == 0xC0 || op == 0xD0 || op == 0xD2 || op == 0xFE) return rm8;
    if (op == 0x89 || op == 0x8C || op == 0xC7 || op == 0xC1 || op == 0xD1 || op == 0xD3) return rm;
    if (op >= 0x91 && op <= 0x97) return Bit(kEax) | Bit(op & 7);
    if (op >= 0xB0 && op <= 0xB7) return Bit(op & 3);
    if (op >= 0xB8 && op <= 0xBF) return Bit(op & 7);
    if (op == 0x98 || op == 0xA0 || op == 0xA1 || op == 0xD7 || op == 0xE4 || op == 0xE5 || op == 0xEC || op == 0xED ||
        op == 0x9F)
      return Bit(kEax);
    if (op == 0x99) return Bit(kEdx);
    if (op == 0xA4 || op == 0xA5 || op == 0xA6 || op == 0xA7) return Bit(kEsi) | Bit(kEdi) | Bit(kEcx);
    if (op == 0xAA || op == 0xAB || op == 0xAE || op == 0xAF) return Bit(kEdi) | Bit(kEcx);
    if (op == 0xAC || op == 0xAD) return Bit(kEsi) | Bit(kEax) | Bit(kEcx);
    if (op >= 0xE0 && op <= 0xE2) return Bit(kEcx);
    if (op == 0xF6) return i.Reg() == 2 || i.Reg() == 3 ? rm8 : i.Reg() >= 4 ? Bit(kEax) : 0;
    if (op == 0xF7) return i.Reg() == 2 || i.Reg() == 3 ? rm : i.Reg() >= 4 ? Bit(kEax) | Bit(kEdx) : 0;
    if (op == 0xFF) return i.Reg() <= 1 ? rm : 0;
    return 0;
  }
  if (i.map == 2) {
    if ((op >= 0x40 && op <= 0x4F) || op == 0xAF || op == 0xB6 || op == 0xB7 || op == 0xBE || op == 0xBF ||
        op == 0xBC || op == 0xBD || op == 0xB8 || op == 0x02 || op == 0x03 || op == 0x50 || op == 0xC5 ||
        op == 0xD7 || op == 0x2C || op == 0x2D)
      return reg;
    if (op == 0xA4 || op == 0xA5 || op == 0xAC || op == 0xAD || op == 0xAB || op == 0xB3 || op == 0xBB ||
        op == 0xB1 || op == 0xC1 || op == 0x7E || op == 0x00)
      return rm;
    if (op == 0xB0 || op == 0xC0 || (op >= 0x90 && op <= 0x9F)) return rm8 | (op == 0xB0 ? Bit(kEax) : 0);
    if (op == 0xBA) return i.Reg() >= 5 ? rm : 0;
    if (op >= 0xC8 && op <= 0xCF) return Bit(op & 7);
    if (op == 0xA2) return Bit(kEax) | Bit(kEbx) | Bit(kEcx) | Bit(kEdx);
    if (op == 0x31 || op == 0x32 || op == 0x33) return Bit(kEax) | Bit(kEdx);
    if (op == 0xC7) return Bit(kEax) | Bit(kEdx) | rm;
    return 0;
  }
  if (i.map == 3) return op == 0xF0 || op == 0xF1 ? reg : 0;
  return op == 0x14 || op == 0x16 || op == 0x17 ? rm : 0;
}

Step With(Step s, Op op, int32_t value = 0) {
  s.op = op;
  s.value = value;
  return s;
}

// The steps of the two-byte map (0F): pushes and pops of segment registers,
// the long conditional jumps, and what ends a path.
std::optional<Step> TwoByte(const X86Instruction& i, const Step& s, uint32_t next) {
  const uint8_t op = i.opcode;
  if (op == 0xA0 || op == 0xA8) return With(s, Op::Push);
  if (op == 0xA1 || op == 0xA9) return With(s, Op::Pop);
  if (op >= 0x80 && op <= 0x8F) return With(s, i.operand16 ? Op::Stop : Op::Jcc, int32_t(next + i.imm));
  if (op == 0x0B || op == 0xB9 || op == 0xFF || op == 0x34 || op == 0x35 || op == 0x05 || op == 0x07) return With(s, Op::Stop);
  if (op == 0xA2 && (s.writes & Bit(kEsp))) return With(s, Op::LostEsp);
  return std::nullopt;
}

// FF: push r/m, the indirect call, the indirect jump (a switch's table of
// addresses, value its address, where it is `jmp [table + reg*4]`).
std::optional<Step> GroupFF(const X86Instruction& i, Step s) {
  if (i.Reg() == 6) {
    if (i.Mod() == 3) s.reg = i.Rm();
    return With(s, Op::Push);
  }
  if (i.Reg() == 2) return With(s, Op::CallIndirect);
  if (i.Reg() == 4) {
    const bool table = i.Mod() == 0 && i.Rm() == 4 && (i.sib & 7) == 5 && (i.sib >> 6) == 2 && (i.sib >> 3 & 7) != 4;
    s.immediate = table;
    return With(s, Op::JmpIndirect, table ? i.disp : 0);
  }
  if (i.Reg() == 3 || i.Reg() == 5) return With(s, Op::Stop);
  return std::nullopt;
}

// The instructions that move ESP or EBP by arithmetic or copies: add/sub/and
// esp,imm; sub esp,eax; mov esp,ebp and mov ebp,esp; lea with ESP or EBP.
std::optional<Step> EspArithmetic(const X86Instruction& i, Step s) {
  const uint8_t op = i.opcode;
  if ((op == 0x81 || op == 0x83) && i.Mod() == 3 && i.Rm() == kEsp && !i.operand16) {
    const int32_t imm = op == 0x83 ? int32_t(int8_t(i.imm)) : int32_t(i.imm);
    if (i.Reg() == 0) return With(s, Op::AddEsp, imm);
    if (i.Reg() == 5) return With(s, Op::AddEsp, Sub(0, imm));
    if (i.Reg() == 7) return s;
    if (i.Reg() == 4 && imm < 0 && ((uint32_t(0) - uint32_t(imm)) & (uint32_t(-1) - uint32_t(imm))) == 0)
      return With(s, Op::AlignEsp);
    return With(s, Op::LostEsp);
  }
  if (op == 0x29 && i.Mod() == 3 && i.Rm() == kEsp && i.Reg() == kEax && !i.operand16) return With(s, Op::SubEspEax);
  if (op == 0x2B && i.Mod() == 3 && i.Reg() == kEsp && i.Rm() == kEax && !i.operand16) return With(s, Op::SubEspEax);
  if ((op == 0x89 || op == 0x8B) && i.Mod() == 3 && !i.operand16) {
    const uint8_t to = op == 0x89 ? i.Rm() : i.Reg(), from = op == 0x89 ? i.Reg() : i.Rm();
    if (to == kEsp && from == kEbp) return With(s, Op::EspFromEbp, 0);
    if (to == kEbp && from == kEsp) return With(s, Op::EbpFromEsp, 0);
  }
  if (op != 0x8D) return std::nullopt;
  if ((i.Reg() == kEsp || i.Reg() == kEbp) && !i.operand16) {
    const std::optional<uint8_t> b = i.SimpleBase();
    if (i.Reg() == kEsp && b == kEbp) return With(s, Op::EspFromEbp, i.disp);
    if (i.Reg() == kEsp && b == kEsp) return With(s, Op::AddEsp, i.disp);
    if (i.Reg() == kEbp && b == kEsp) return With(s, Op::EbpFromEsp, i.disp);
    if (i.Reg() == kEsp && b && *b < 8 && *b != kEsp && *b != kEbp) {
      s.reg = *b;
      return With(s, Op::EspFromReg, i.disp);
    }
  } else if (!i.operand16 && i.SimpleBase() == kEsp) {
    s.reg = i.Reg();
    return With(s, Op::LeaFromEsp, i.disp);
  }
  return std::nullopt;
}

// The steps of the one-byte map: pushes and pops, the frame's set-up and
// take-down, returns, jumps and calls, then what moves ESP.
std::optional<Step> OneByte(const X86Instruction& i, Step s, std::string_view code, size_t at, uint32_t next) {
  const uint8_t op = i.opcode;
  if (op >= 0x50 && op <= 0x57) {
    s.reg = op & 7;
    return With(s, Op::Push);
  }
  if (op >= 0x70 && op <= 0x7F) return With(s, Op::Jcc, int32_t(next + i.imm));
  if (op >= 0x58 && op <= 0x5F) {
    if (op == 0x5C) return With(s, Op::LostEsp);
    s.reg = op & 7;
    s.writes = Bit(s.reg);
    return With(s, Op::Pop);
  }
  switch (op) {
    case 0x06: case 0x0E: case 0x16: case 0x1E: case 0x9C: return With(s, Op::Push);
    case 0x07: case 0x17: case 0x1F: case 0x9D: return With(s, Op::Pop);
    case 0x60: return With(s, i.operand16 ? Op::LostEsp : Op::Pushad);
    case 0x61: return With(s, i.operand16 ? Op::LostEsp : Op::Popad);
    case 0x68: case 0x6A:
      s.immediate = true;
      return With(s, Op::Push, int32_t(op == 0x6A ? uint32_t(int8_t(i.imm)) : i.imm));
    case 0x8F:
      if (i.Mod() == 3) {
        if (i.Rm() == kEsp) return With(s, Op::LostEsp);
        s.reg = i.Rm();
        s.writes = Bit(s.reg);
      }
      return With(s, Op::Pop);
    case 0xC8: return With(s, Op::Enter, int32_t((i.imm & 0xFFFF) | uint32_t(i.length > 0 ? static_cast<uint8_t>(code[at + i.length - 1]) : 0) << 16));
    case 0xC9: return With(s, Op::Leave);
    case 0xC2: return With(s, Op::Ret, int32_t(i.imm & 0xFFFF));
    case 0xC3: return With(s, Op::Ret, 0);
    case 0xCA: case 0xCB: case 0xCC: case 0xCD: case 0xCF: case 0xF4: case 0x9A: case 0xEA: case 0xF1:
      return With(s, Op::Stop);
    case 0xE8: return With(s, i.operand16 ? Op::Stop : Op::Call, int32_t(next + i.imm));
    case 0xE9: return With(s, i.operand16 ? Op::Stop : Op::Jmp, int32_t(next + i.imm));
    case 0xEB: return With(s, Op::Jmp, int32_t(next + i.imm));
    case 0xE0: case 0xE1: case 0xE2: case 0xE3: return With(s, Op::Jcc, int32_t(next + i.imm));
    case 0xB8: return With(s, Op::MovEaxImm, int32_t(i.imm));
    case 0xFF: return GroupFF(i, s);
    default: return EspArithmetic(i, s);
  }
}

}  // namespace

std::optional<Step> Decode(std::string_view code, size_t at, uint32_t base) {
  const std::optional<X86Instruction> d = DecodeX86(code, at);
  if (!d) return std::nullopt;
  const X86Instruction& i = *d;
  Step s;
  s.rva = uint32_t(base + at);
  s.length = i.length;
  s.size = i.operand16 ? 2 : 4;
  s.writes = Writes(i);
  s.segment = i.segment;
  const uint32_t next = s.rva + i.length;
  if (i.vex) return (s.writes & Bit(kEsp)) ? With(s, Op::LostEsp) : s;
  std::optional<Step> step;
  if (i.map == 2) step = TwoByte(i, s, next);
  else if (i.map == 1) step = OneByte(i, s, code, at, next);
  if (step) return step;
  if (s.writes & Bit(kEsp)) return With(s, Op::LostEsp);
  return s;
}

// Whether the bytes at code[at] are the filler compilers put between
// functions (nop, int3, and the long nops: xchg ax,ax, lea esi,[esi+0] and
// the like, nop r/m): after a call, the sign of a callee that does not return.
bool IsFiller(std::string_view code, size_t at) {
  const auto b = [&](size_t k) { return at + k < code.size() ? uint8_t(code[at + k]) : uint8_t(0); };
  if (b(0) == 0x90 || b(0) == 0xCC) return true;
  if (b(0) == 0x66 && b(1) == 0x90) return true;
  if (b(0) == 0x0F && b(1) == 0x1F) return true;
  if (b(0) == 0x66 && b(1) == 0x0F && b(2) == 0x1F) return true;
  if (b(0) == 0x8D) {  // lea esi,[esi+0] / lea edi,[edi+0] (with or without SIB), zero displacement
    const uint8_t modrm = b(1), reg = modrm >> 3 & 7, mod = modrm >> 6;
    if ((reg != kEsi && reg != kEdi) || mod == 0 || mod == 3) return false;
    size_t p = 2;
    if ((modrm & 7) == 4) {
      if ((b(2) & 7) != reg || (b(2) >> 3 & 7) != 4) return false;
      p = 3;
    } else if ((modrm & 7) != reg) {
      return false;
    }
    for (size_t k = 0; k < (mod == 1 ? 1u : 4u); ++k)
      if (b(p + k) != 0) return false;
    return true;
  }
  return false;
}

}  // namespace x86
}  // namespace qf
