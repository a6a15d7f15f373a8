#include "image/X86Length.h"

namespace qf {
namespace {

// What follows an opcode, one letter per opcode:
//   .  nothing            M  ModRM            b  imm8           z  imm16/32 (66h)
//   B  ModRM, imm8        Z  ModRM, imm16/32  w  imm16          e  imm16, imm8 (enter)
//   j  rel8               J  rel16/32         p  far pointer    o  moffs16/32 (67h)
//   G  ModRM, an immediate when its reg field is 0 or 1 (test) of the opcode's width
//   V  VEX where ModRM would be a register, else ModRM (les, lds)
//   P  prefix             E  the 0F escape    3  0F 38          4  0F 3A
//   X  no instruction
constexpr char kOneByte[] =
    "MMMMbz..MMMMbz.E"  // 00
    "MMMMbz..MMMMbz.."  // 10
    "MMMMbzP.MMMMbzP."  // 20
    "MMMMbzP.MMMMbzP."  // 30
    "................"  // 40
    "................"  // 50
    "..MMPPPPzZbB...."  // 60
    "jjjjjjjjjjjjjjjj"  // 70
    "BZBBMMMMMMMMMMMM"  // 80
    "..........p....."  // 90
    "oooo....bz......"  // A0
    "bbbbbbbbzzzzzzzz"  // B0
    "BBw.VVBZe.w..b.."  // C0
    "MMMMbbX.MMMMMMMM"  // D0
    "jjjjbbbbJJpj...."  // E0
    "P.PP..GG......MM";  // F0

constexpr char kTwoByte[] =
    "MMMMX.....X.XMXX"  // 00
    "MMMMMMMMMMMMMMMM"  // 10
    "MMMMXXXXMMMMMMMM"  // 20
    "........3X4XXXXX"  // 30
    "MMMMMMMMMMMMMMMM"  // 40
    "MMMMMMMMMMMMMMMM"  // 50
    "MMMMMMMMMMMMMMMM"  // 60
    "BBBBMMM.MMXXMMMM"  // 70
    "JJJJJJJJJJJJJJJJ"  // 80
    "MMMMMMMMMMMMMMMM"  // 90
    "...MBMXX...MBMMM"  // A0
    "MMMMMMMMMMBMMMMM"  // B0
    "MMBMBBBM........"  // C0
    "MMMMMMMMMMMMMMMM"  // D0
    "MMMMMMMMMMMMMMMM"  // E0
    "MMMMMMMMMMMMMMMM";  // F0

static_assert(sizeof(kOneByte) == 257 && sizeof(kTwoByte) == 257, "one letter per opcode");

class Reader {
 public:
  Reader(std::string_view code, size_t at) : code_(code), at_(at), start_(at) {}
  bool Has(size_t n) const { return at_ <= code_.size() && n <= code_.size() - at_ && at_ - start_ + n <= 15; }
  uint8_t Peek(size_t k = 0) const { return static_cast<uint8_t>(code_[at_ + k]); }
  uint8_t Take() { return static_cast<uint8_t>(code_[at_++]); }
  uint32_t TakeLe(unsigned n) {
    uint32_t v = 0;
    for (unsigned i = 0; i < n; ++i) v |= uint32_t(Take()) << (8 * i);
    return v;
  }
  size_t Used() const { return at_ - start_; }

 private:
  std::string_view code_;
  size_t at_, start_;
};

int32_t SignExtend(uint32_t v, unsigned bytes) {
  if (bytes == 1) return int8_t(v);
  if (bytes == 2) return int16_t(v);
  return int32_t(v);
}

// Reads ModRM, SIB and displacement into i; false past the end.
bool ReadModrm(Reader& r, X86Instruction& i) {
  if (!r.Has(1)) return false;
  i.hasModrm = true;
  i.modrm = r.Take();
  const uint8_t sib = r.Has(1) ? r.Peek() : 0;
  const unsigned rest = X86ModrmLength(i.modrm, sib, i.address16) - 1;
  if (!r.Has(rest)) return false;
  unsigned disp = rest;
  if (!i.address16 && i.Mod() != 3 && i.Rm() == 4) {
    i.sib = r.Take();
    --disp;
  }
  i.dispSize = uint8_t(disp);
  i.disp = SignExtend(r.TakeLe(disp), disp);
  return true;
}

bool ReadImmediate(Reader& r, X86Instruction& i, unsigned bytes, bool relative) {
  if (!r.Has(bytes)) return false;
  i.immSize = uint8_t(i.immSize + bytes);
  const uint32_t v = r.TakeLe(bytes);
  if (i.immSize == bytes) i.imm = relative ? uint32_t(SignExtend(v, bytes)) : v;
  return true;
}

// The instruction after a VEX prefix (C4 or C5 at the reader).
bool ReadVex(Reader& r, X86Instruction& i) {
  const uint8_t lead = r.Take();
  const unsigned size = lead == 0xC4 ? 2 : 1;
  if (!r.Has(size + 1)) return false;
  uint8_t map = 1;
  if (lead == 0xC4) {
    map = r.Peek() & 0x1F;
    if (map < 1 || map > 3) return false;
  }
  r.TakeLe(size);
  i.vex = true;
  i.map = uint8_t(map + 1);
  i.opcode = r.Take();
  if (map == 1 && i.opcode == 0x77) return true;  // vzeroupper, vzeroall
  if (!ReadModrm(r, i)) return false;
  const bool imm8 = map == 3 || (map == 1 && ((i.opcode >= 0x70 && i.opcode <= 0x73) || i.opcode == 0xC2 ||
                                              (i.opcode >= 0xC4 && i.opcode <= 0xC6)));
  return !imm8 || ReadImmediate(r, i, 1, false);
}

}  // namespace

std::optional<uint8_t> X86Instruction::SimpleBase() const {
  if (!hasModrm || Mod() == 3 || address16) return std::nullopt;
  if (Rm() == 4) {
    if ((sib >> 3 & 7) != 4) return std::nullopt;  // an index
    if (Mod() == 0 && (sib & 7) == 5) return uint8_t(8);
    return uint8_t(sib & 7);
  }
  if (Mod() == 0 && Rm() == 5) return uint8_t(8);
  return Rm();
}

unsigned X86ModrmLength(uint8_t modrm, uint8_t sib, bool address16) {
  const unsigned mod = modrm >> 6, rm = modrm & 7;
  if (mod == 3) return 1;
  if (address16) {
    if (mod == 1) return 2;
    if (mod == 2 || rm == 6) return 3;
    return 1;
  }
  unsigned length = rm == 4 ? 2 : 1;
  if (mod == 1) return length + 1;
  if (mod == 2) return length + 4;
  if (rm == 5) return length + 4;                      // [disp32]
  if (rm == 4 && (sib & 7) == 5) return length + 4;   // SIB without base
  return length;
}

std::optional<X86Instruction> DecodeX86(std::string_view code, size_t at) {
  Reader r(code, at);
  X86Instruction i;
  char kind = 'P';
  for (;;) {
    if (!r.Has(1)) return std::nullopt;
    const uint8_t b = r.Peek();
    kind = kOneByte[b];
    if (kind != 'P') break;
    if (b == 0x66) i.operand16 = true;
    if (b == 0x67) i.address16 = true;
    if (b == 0x26 || b == 0x2E || b == 0x36 || b == 0x3E || b == 0x64 || b == 0x65) i.segment = b;
    r.Take();
    ++i.prefixes;
  }
  if (kind == 'V' && r.Has(2) && (r.Peek(1) >> 6) == 3) {
    if (!ReadVex(r, i)) return std::nullopt;
    i.length = uint8_t(r.Used());
    return i;
  }
  i.opcode = r.Take();
  // fwait before an x87 instruction is read with it (fstsw is 9B DF E0).
  if (i.opcode == 0x9B && r.Has(1) && r.Peek() >= 0xD8 && r.Peek() <= 0xDF) {
    ++i.prefixes;
    i.opcode = r.Take();
    kind = 'M';
  }
  if (kind == 'E') {
    if (!r.Has(1)) return std::nullopt;
    i.opcode = r.Take();
    i.map = 2;
    kind = kTwoByte[i.opcode];
    if (kind == '3' || kind == '4') {
      if (!r.Has(1)) return std::nullopt;
      i.map = kind == '3' ? 3 : 4;
      i.opcode = r.Take();
      kind = i.map == 3 ? 'M' : 'B';
    }
  }
  const unsigned z = i.operand16 ? 2 : 4;
  bool ok = true;
  switch (kind) {
    case '.': break;
    case 'M': case 'V': ok = ReadModrm(r, i); break;
    case 'b': ok = ReadImmediate(r, i, 1, false); break;
    case 'j': ok = ReadImmediate(r, i, 1, true); break;
    case 'z': ok = ReadImmediate(r, i, z, false); break;
    case 'J': ok = ReadImmediate(r, i, z, true); break;
    case 'w': ok = ReadImmediate(r, i, 2, false); break;
    case 'e': ok = ReadImmediate(r, i, 2, false) && ReadImmediate(r, i, 1, false); break;
    case 'o': ok = ReadImmediate(r, i, i.address16 ? 2 : 4, false); break;
    case 'p': ok = ReadImmediate(r, i, z, false) && ReadImmediate(r, i, 2, false); break;
    case 'B': ok = ReadModrm(r, i) && ReadImmediate(r, i, 1, false); break;
    case 'Z': ok = ReadModrm(r, i) && ReadImmediate(r, i, z, false); break;
    case 'G':
      ok = ReadModrm(r, i) && (i.Reg() > 1 || ReadImmediate(r, i, i.opcode == 0xF6 ? 1 : z, false));
      break;
    default: return std::nullopt;  // X, or a map's escape where none belongs
  }
  if (!ok) return std::nullopt;
  // Group members that are no instruction.
  if (i.map == 1 && ((i.opcode == 0xFF && i.Reg() == 7) || (i.opcode == 0xFE && i.Reg() > 1) ||
                     (i.opcode == 0x8F && i.Reg() != 0) ||
                     ((i.opcode == 0xC6 || i.opcode == 0xC7) && i.Reg() != 0 && i.modrm != 0xF8)))
    return std::nullopt;
  i.length = uint8_t(r.Used());
  return i;
}

}  // namespace qf
