// The length and the parts of an x86 instruction in 32-bit mode, read from
// opcode tables: prefixes (66, 67, F0, F2, F3 and the segment overrides),
// the one-byte map, the two-byte map (0F) and its 0F 38 and 0F 3A maps, the
// two VEX forms, ModRM, SIB, displacements and immediates. Bytes that are no
// instruction (or one these tables do not hold) get no answer.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace qf {

struct X86Instruction {
  uint8_t length = 0;      // all its bytes, prefixes included (1 to 15)
  uint8_t prefixes = 0;    // how many prefix bytes come first
  bool operand16 = false;  // 66h
  bool address16 = false;  // 67h
  uint8_t segment = 0;     // the last segment prefix (26, 2E, 36, 3E, 64, 65), else 0
  uint8_t map = 1;         // 1: one-byte map, 2: 0F, 3: 0F 38, 4: 0F 3A (VEX: the map it selects)
  bool vex = false;
  uint8_t opcode = 0;
  bool hasModrm = false;
  uint8_t modrm = 0;
  uint8_t sib = 0;          // with hasModrm, memory operand and r/m 4 (32-bit addressing)
  uint8_t dispSize = 0;     // 0, 1, 2 or 4
  int32_t disp = 0;         // sign-extended
  uint8_t immSize = 0;      // all immediate bytes (enter: 3, far pointers: 6 or 4)
  uint32_t imm = 0;         // the first immediate, zero-extended (rel8/rel16 sign-extended)

  uint8_t Mod() const { return modrm >> 6; }
  uint8_t Reg() const { return modrm >> 3 & 7; }
  uint8_t Rm() const { return modrm & 7; }
  // A memory operand whose address is a register plus a displacement only
  // (no index), or none: base register 0..7, or 8 for [disp32].
  std::optional<uint8_t> SimpleBase() const;
};

// The bytes a ModRM byte and what follows it (SIB, displacement) take with
// 32-bit or 16-bit addressing; sib is read only when the form has one.
unsigned X86ModrmLength(uint8_t modrm, uint8_t sib, bool address16 = false);

// The instruction at code[at]; none when the bytes are not one, or run past
// the end of code.
std::optional<X86Instruction> DecodeX86(std::string_view code, size_t at);

}  // namespace qf
