// Each instruction is decoded once into a step that says only what it does
// to ESP, EBP and the callee-saved registers; the paths are then followed
// over the steps with a worklist, each instruction's state only ever losing
// knowledge at a join, so the walk ends on any code. Every loop is bounded.
#include "image/X86Frames.h"

#include <algorithm>
#include <unordered_map>

#include "image/X86Length.h"

namespace qf {
namespace {

constexpr size_t kMaxFunctionBytes = 1 << 20;
constexpr size_t kMaxVisits = 1 << 18;     // instructions processed for one function
constexpr unsigned kMaxForwardSteps = 4096;
constexpr unsigned kMaxCalleeSteps = 1024;  // a callee read for its `ret n`
constexpr unsigned kMaxForwardBranches = 64;
constexpr unsigned kMaxCalleeDepth = 2;
constexpr size_t kBudget = 1 << 15;        // instructions one question may process, callees' reads included

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

uint8_t Bit(unsigned reg) { return uint8_t(1u << reg); }

// Stack arithmetic wraps as the processor's does.
int32_t Add(int32_t a, int32_t b) { return int32_t(uint32_t(a) + uint32_t(b)); }
int32_t Sub(int32_t a, int32_t b) { return int32_t(uint32_t(a) - uint32_t(b)); }

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

// The step of the instruction at code[at] (code: its section's bytes from
// the RVA base); none where the bytes are no instruction.
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
  const uint8_t op = i.opcode;
  const auto set = [&](Op o, int32_t value = 0) {
    s.op = o;
    s.value = value;
    return s;
  };
  if (i.vex) return (s.writes & Bit(kEsp)) ? set(Op::LostEsp) : s;
  if (i.map == 2) {
    if (op == 0xA0 || op == 0xA8) return set(Op::Push);
    if (op == 0xA1 || op == 0xA9) return set(Op::Pop);
    if (op >= 0x80 && op <= 0x8F) return set(i.operand16 ? Op::Stop : Op::Jcc, int32_t(next + i.imm));
    if (op == 0x0B || op == 0xB9 || op == 0xFF || op == 0x34 || op == 0x35 || op == 0x05 || op == 0x07) return set(Op::Stop);
    if (op == 0xA2 && (s.writes & Bit(kEsp))) return set(Op::LostEsp);
  } else if (i.map == 1) {
    if (op >= 0x50 && op <= 0x57) {
      s.reg = op & 7;
      return set(Op::Push);
    }
    if (op >= 0x70 && op <= 0x7F) return set(Op::Jcc, int32_t(next + i.imm));
    if (op >= 0x58 && op <= 0x5F) {
      if (op == 0x5C) return set(Op::LostEsp);
      s.reg = op & 7;
      s.writes = Bit(s.reg);
      return set(Op::Pop);
    }
    switch (op) {
      case 0x06: case 0x0E: case 0x16: case 0x1E: case 0x9C: return set(Op::Push);
      case 0x07: case 0x17: case 0x1F: case 0x9D: return set(Op::Pop);
      case 0x60: return i.operand16 ? set(Op::LostEsp) : set(Op::Pushad);
      case 0x61: return i.operand16 ? set(Op::LostEsp) : set(Op::Popad);
      case 0x68: case 0x6A:
        s.immediate = true;
        return set(Op::Push, int32_t(op == 0x6A ? uint32_t(int8_t(i.imm)) : i.imm));
      case 0x8F:
        if (i.Mod() == 3) {
          if (i.Rm() == kEsp) return set(Op::LostEsp);
          s.reg = i.Rm();
          s.writes = Bit(s.reg);
        }
        return set(Op::Pop);
      case 0xC8: return set(Op::Enter, int32_t((i.imm & 0xFFFF) | uint32_t(i.length > 0 ? static_cast<uint8_t>(code[at + i.length - 1]) : 0) << 16));
      case 0xC9: return set(Op::Leave);
      case 0xC2: return set(Op::Ret, int32_t(i.imm & 0xFFFF));
      case 0xC3: return set(Op::Ret, 0);
      case 0xCA: case 0xCB: case 0xCC: case 0xCD: case 0xCF: case 0xF4: case 0x9A: case 0xEA: case 0xF1:
        return set(Op::Stop);
      case 0xE8: return set(i.operand16 ? Op::Stop : Op::Call, int32_t(next + i.imm));
      case 0xE9: return set(i.operand16 ? Op::Stop : Op::Jmp, int32_t(next + i.imm));
      case 0xEB: return set(Op::Jmp, int32_t(next + i.imm));
      case 0xE0: case 0xE1: case 0xE2: case 0xE3: return set(Op::Jcc, int32_t(next + i.imm));
      case 0xB8: return set(Op::MovEaxImm, int32_t(i.imm));
      case 0xFF:
        if (i.Reg() == 6) {
          if (i.Mod() == 3) s.reg = i.Rm();
          return set(Op::Push);
        }
        if (i.Reg() == 2) return set(Op::CallIndirect);
        if (i.Reg() == 4) {
          // jmp [table + reg*4]: a switch's table of addresses (value: its address).
          const bool table = i.Mod() == 0 && i.Rm() == 4 && (i.sib & 7) == 5 && (i.sib >> 6) == 2 && (i.sib >> 3 & 7) != 4;
          s.immediate = table;
          return set(Op::JmpIndirect, table ? i.disp : 0);
        }
        if (i.Reg() == 3 || i.Reg() == 5) return set(Op::Stop);
        break;
      case 0x81: case 0x83:
        if (i.Mod() == 3 && i.Rm() == kEsp && !i.operand16) {
          const int32_t imm = op == 0x83 ? int32_t(int8_t(i.imm)) : int32_t(i.imm);
          if (i.Reg() == 0) return set(Op::AddEsp, imm);
          if (i.Reg() == 5) return set(Op::AddEsp, Sub(0, imm));
          if (i.Reg() == 7) return s;
          if (i.Reg() == 4 && imm < 0 && ((uint32_t(0) - uint32_t(imm)) & (uint32_t(-1) - uint32_t(imm))) == 0)
            return set(Op::AlignEsp);
          return set(Op::LostEsp);
        }
        break;
      case 0x29:  // sub esp, eax
        if (i.Mod() == 3 && i.Rm() == kEsp && i.Reg() == kEax && !i.operand16) return set(Op::SubEspEax);
        break;
      case 0x2B:
        if (i.Mod() == 3 && i.Reg() == kEsp && i.Rm() == kEax && !i.operand16) return set(Op::SubEspEax);
        break;
      case 0x89: case 0x8B:
        if (i.Mod() == 3 && !i.operand16) {
          const uint8_t to = op == 0x89 ? i.Rm() : i.Reg(), from = op == 0x89 ? i.Reg() : i.Rm();
          if (to == kEsp && from == kEbp) return set(Op::EspFromEbp, 0);
          if (to == kEbp && from == kEsp) return set(Op::EbpFromEsp, 0);
        }
        break;
      case 0x8D:
        if ((i.Reg() == kEsp || i.Reg() == kEbp) && !i.operand16) {
          const std::optional<uint8_t> b = i.SimpleBase();
          if (i.Reg() == kEsp && b == kEbp) return set(Op::EspFromEbp, i.disp);
          if (i.Reg() == kEsp && b == kEsp) return set(Op::AddEsp, i.disp);
          if (i.Reg() == kEbp && b == kEsp) return set(Op::EbpFromEsp, i.disp);
          if (i.Reg() == kEsp && b && *b < 8 && *b != kEsp && *b != kEbp) {
            s.reg = *b;
            return set(Op::EspFromReg, i.disp);
          }
        } else if (!i.operand16 && i.SimpleBase() == kEsp) {
          s.reg = i.Reg();
          return set(Op::LeaFromEsp, i.disp);
        }
        break;
      default: break;
    }
  }
  if (s.writes & Bit(kEsp)) return set(Op::LostEsp);
  return s;
}

const X86Value kNone{X86Value::None, 0};
const X86Value kLost{X86Value::Unknown, 0};

X86Value Plus(X86Value v, int32_t d) {
  if (v.Known()) v.offset = Add(v.offset, d);
  return v;
}

// A value for each callee-saved register (and one slot that every other
// register shares and nothing reads).
struct RegValues {
  std::array<X86Value, 5> v{};
  static size_t At(uint8_t r) { return r == kEbx ? 0 : r == kEbp ? 1 : r == kEsi ? 2 : r == kEdi ? 3 : 4; }
  X86Value& operator[](uint8_t r) { return v[At(r)]; }
  const X86Value& operator[](uint8_t r) const { return v[At(r)]; }
  bool operator==(const RegValues& o) const { return v == o.v; }
  bool operator!=(const RegValues& o) const { return !(v == o.v); }
};

// What is known at one instruction.
struct State {
  X86Value esp{X86Value::Esp, 0};
  X86Value ebp{X86Value::Ebp, 0};
  RegValues saved{{kNone, kNone, kNone, kNone, kNone}};
  uint8_t original = 0xFF;        // registers that hold their value at the reference point
  int32_t pushed = 0;             // bytes pushed since the stack was last balanced
  X86Value immAt = kLost;         // where the last immediate was pushed
  uint32_t imm = 0;
  bool immTop = false;            // nothing popped since (where ESP is not known)
  std::optional<uint32_t> eax;    // a constant in EAX
  // Read forward: where each register was last pushed, and what was known
  // of it then (a pop from there gives that back).
  RegValues pushAt{};
  RegValues pushSaved{};
  uint8_t pushOriginal = 0;
  // Where the function realigns its stack, the way back to its entry's
  // stack pointer: a register holding it plus cfaRegOffset, and a stack
  // slot (cfaAt) holding it plus cfaAtOffset.
  uint8_t cfaReg = 0xFF;
  int32_t cfaRegOffset = 0;
  X86Value cfaAt{X86Value::Unknown, 0};
  int32_t cfaAtOffset = 0;

  bool operator==(const State& o) const {
    return esp == o.esp && ebp == o.ebp && saved == o.saved && original == o.original && pushed == o.pushed &&
           immAt == o.immAt && imm == o.imm && immTop == o.immTop && eax == o.eax && cfaReg == o.cfaReg &&
           (cfaReg > 7 || cfaRegOffset == o.cfaRegOffset) && cfaAt == o.cfaAt &&
           (!cfaAt.Known() || cfaAtOffset == o.cfaAtOffset);
  }
  // Keeps what both agree on; true when this changed.
  bool Join(const State& o) {
    const State before = *this;
    if (esp != o.esp) esp = kLost;
    if (ebp != o.ebp) ebp = kLost;
    for (size_t r = 0; r < saved.v.size(); ++r)
      if (saved.v[r] != o.saved.v[r]) saved.v[r] = kLost;
    original &= o.original;
    pushed = std::min(pushed, o.pushed);
    if (immAt != o.immAt || imm != o.imm) immAt = kLost;
    if (imm != o.imm || !o.immTop) immTop = false;
    if (eax != o.eax) eax.reset();
    if (cfaReg != o.cfaReg || cfaRegOffset != o.cfaRegOffset) cfaReg = 0xFF;
    if (cfaAt != o.cfaAt || cfaAtOffset != o.cfaAtOffset) cfaAt = kLost;
    return !(*this == before);
  }
};

// A map of RVAs or offsets to numbers (the instructions a reading has
// passed), open addressing, grown as it fills: its memory follows the code
// reached, not the size of the function.
class OffsetMap {
 public:
  const int32_t* Find(uint32_t key) const {
    const Entry& e = table_[Slot(key)];
    return e.key == key + 1 ? &e.value : nullptr;
  }
  bool Has(uint32_t key) const { return Find(key) != nullptr; }
  void Add(uint32_t key, int32_t value = 0) {
    if (2 * (count_ + 1) > table_.size()) {
      std::vector<Entry> old(2 * table_.size());
      old.swap(table_);
      for (const Entry& e : old)
        if (e.key != 0) table_[Slot(e.key - 1)] = e;
    }
    Entry& e = table_[Slot(key)];
    if (e.key == 0) ++count_;
    e = {key + 1, value};
  }

 private:
  struct Entry {
    uint32_t key = 0;  // key + 1; 0: empty
    int32_t value = 0;
  };
  size_t Slot(uint32_t key) const {
    size_t i = (key * 2654435761u) & (table_.size() - 1);
    while (table_[i].key != 0 && table_[i].key != key + 1) i = (i + 1) & (table_.size() - 1);
    return i;
  }
  std::vector<Entry> table_ = std::vector<Entry>(64);
  size_t count_ = 0;
};
using Seen = OffsetMap;

bool IsCalleeSaved(uint8_t r) { return r == kEbx || r == kEbp || r == kEsi || r == kEdi; }

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

}  // namespace

struct X86Code::Impl {
  const PeImage& image;
  std::string_view bytes;
  std::map<uint32_t, X86FrameTable> functions;
  std::unordered_map<uint32_t, std::optional<uint16_t>> pops;
  unsigned depth = 0;  // callee reads under way
  size_t budget = 0;   // instructions the question under way may still process
  bool asking = false;

  bool Spend() {
    if (budget == 0) return false;
    --budget;
    return true;
  }
  // One question from outside: its own budget.
  template <typename Body>
  auto Ask(Body body) {
    if (asking) return body();
    asking = true;
    budget = kBudget;
    auto answer = body();
    asking = false;
    return answer;
  }

  Impl(const PeImage& i, std::string_view b) : image(i), bytes(b) {}

  // The section bytes holding rva: (bytes, their RVA); empty outside code.
  std::pair<std::string_view, uint32_t> CodeAt(uint32_t rva) const {
    const PeSection* s = image.SectionAt(rva);
    if (!s || !s->IsCode()) return {{}, 0};
    return {PeBytesAt(image, bytes, s->virtualAddress, s->Span()), s->virtualAddress};
  }
  std::optional<Step> StepAt(uint32_t rva) const {
    const auto [code, base] = CodeAt(rva);
    if (code.empty() || rva - base >= code.size()) return std::nullopt;
    return Decode(code, rva - base, base);
  }

  // What a call pops of the stack: the callee's `ret n` for a direct call
  // where it can be read, else what the code after the call says (its first
  // change of ESP, past jumps: `add esp`, the caller cleans up; `sub esp,
  // N`, the callee took N, as GCC writes it), else what was pushed since the stack was
  // last balanced.
  int32_t Popped(const Step& call, const State& s) {
    std::optional<uint16_t> n;
    if (call.op == Op::Call) n = CalleePops(uint32_t(call.value));
    if (n) return *n;
    uint32_t at = call.rva + call.length;
    for (int k = 0; k < 8; ++k) {
      const std::optional<Step> after = StepAt(at);
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

  // The RVAs the code under analysis may push as labels of its own.
  std::pair<uint32_t, uint32_t> labels{0, 0};
  // The one `and esp,-N` of the function under analysis (its RVA + 1; 0:
  // none met yet): the base X86Value::Aligned stands for its result.
  uint32_t alignedAt = 0;

  // One step from state s; false where the step loses the path.
  bool Apply(const Step& st, State& s, bool forward) {
    ApplyStep(st, s, forward);
    if (st.op == Op::Pop || st.op == Op::Popad || st.op == Op::Leave || st.op == Op::EspFromEbp ||
        st.op == Op::LostEsp || (st.op == Op::AddEsp && st.value > 0))
      s.immTop = false;
    // An immediate popped is gone.
    if (s.immAt.Known() && s.esp.Known() && s.immAt.base == s.esp.base && s.immAt.offset < s.esp.offset) s.immAt = kLost;
    if (!forward && s.esp.Known()) {
      // A save the stack pointer has moved above is gone.
      for (uint8_t r = 0; r < 8; ++r)
        if (s.saved[r].Known() && s.saved[r].base == s.esp.base && s.saved[r].offset < s.esp.offset)
          s.saved[r] = (s.original & Bit(r)) ? kNone : kLost;
      if (s.cfaAt.Known() && s.cfaAt.base == s.esp.base && s.cfaAt.offset < s.esp.offset) s.cfaAt = kLost;
    }
    return true;
  }

  void ApplyStep(const Step& st, State& s, bool forward) {
    const auto write = [&](uint8_t mask) {
      s.original &= uint8_t(~mask);
      if (forward)
        for (unsigned r = 0; r < 8; ++r)
          if (mask & Bit(r)) s.saved[r] = kNone;
      if (mask & Bit(kEbp)) s.ebp = kLost;
      if (mask & Bit(kEax)) s.eax.reset();
      if (s.cfaReg < 8 && (mask & Bit(s.cfaReg))) s.cfaReg = 0xFF;
    };
    switch (st.op) {
      case Op::Push: {
        s.esp = Plus(s.esp, -st.size);
        if (forward && st.reg < 8) {
          s.pushAt[st.reg] = s.esp;
          s.pushSaved[st.reg] = s.saved[st.reg];
          s.pushOriginal = uint8_t((s.pushOriginal & ~Bit(st.reg)) | (s.original & Bit(st.reg)));
        }
        bool argument = true;  // what a callee might pop
        if (st.size == 4 && st.reg < 8 && !forward && IsCalleeSaved(st.reg) && (s.original & Bit(st.reg)) &&
            s.saved[st.reg] == kNone) {
          s.saved[st.reg] = s.esp;
          argument = false;
        }
        if (st.segment == 0x64) argument = false;  // an exception frame's link (push fs:[...])
        if (st.reg == kEbp && !forward && s.ebp.Known() && s.ebp != X86Value{X86Value::Ebp, 0} &&
            s.saved[kEbp] == kNone)
          s.saved[kEbp] = kLost;
        // A label of the function pushed (an exception handler, or where a
        // `ret` goes on) is no argument of a call.
        if (st.immediate && uint32_t(st.value) - image.imageBase - labels.first < labels.second - labels.first)
          argument = false;
        if (argument) s.pushed += st.size;
        if (!forward && st.reg < 8 && st.reg == s.cfaReg && st.size == 4 && s.esp.Known()) {
          s.cfaAt = s.esp;
          s.cfaAtOffset = s.cfaRegOffset;
        }
        if (st.immediate) {
          s.immAt = s.esp;
          s.imm = uint32_t(st.value);
          s.immTop = true;
        }
        return;
      }
      case Op::Pop: {
        const X86Value at = s.esp;
        s.esp = Plus(s.esp, st.size);
        s.pushed = std::max(0, s.pushed - st.size);
        if (st.reg < 8) {
          write(Bit(st.reg));
          if (!forward && st.size == 4 && at.Known() && at == s.cfaAt) {
            s.cfaReg = st.reg;
            s.cfaRegOffset = s.cfaAtOffset;
          }
          if (forward) {
            if (at.base == X86Value::Esp && at.offset < 0) {
              // Pushed on the way: the register is what it was then.
              if (s.pushAt[st.reg] == at && at.Known()) {
                s.saved[st.reg] = s.pushSaved[st.reg];
                s.original |= s.pushOriginal & Bit(st.reg);
              }
            } else if (st.size == 4) {
              s.saved[st.reg] = at;
            }
          } else if (at.Known() && s.saved[st.reg] == at) {
            s.saved[st.reg] = kNone;
            s.original |= Bit(st.reg);
            if (st.reg == kEbp) s.ebp = {X86Value::Ebp, 0};
          }
        }
        return;
      }
      case Op::AddEsp:
        s.esp = Plus(s.esp, st.value);
        s.pushed = 0;
        return;
      case Op::SubEspEax:
        s.esp = s.eax ? Plus(s.esp, Sub(0, int32_t(*s.eax))) : kLost;
        s.pushed = 0;
        return;
      case Op::EspFromEbp:
        s.esp = Plus(s.ebp, st.value);
        s.pushed = 0;
        return;
      case Op::EbpFromEsp:
        s.pushed = 0;
        write(Bit(kEbp));
        s.ebp = Plus(s.esp, st.value);
        return;
      case Op::LostEsp:
        write(st.writes);
        s.esp = kLost;
        return;
      case Op::LeaFromEsp:
        write(Bit(st.reg));
        if (!forward && s.esp.Known() && s.esp.base == X86Value::Esp) {
          s.cfaReg = st.reg;
          s.cfaRegOffset = Add(s.esp.offset, st.value);
        }
        return;
      case Op::EspFromReg:
        s.esp = s.cfaReg == st.reg ? X86Value{X86Value::Esp, Add(s.cfaRegOffset, st.value)} : kLost;
        s.pushed = 0;
        return;
      case Op::AlignEsp:
        // A new base, known as long as it stands for one instruction only.
        if (!forward && s.esp.Known() && s.esp.base == X86Value::Esp && (alignedAt == 0 || alignedAt == st.rva + 1)) {
          alignedAt = st.rva + 1;
          s.esp = {X86Value::Aligned, 0};
        } else {
          s.esp = kLost;
        }
        s.pushed = 0;
        return;
      case Op::Leave: {
        const X86Value at = s.ebp;
        s.esp = Plus(s.ebp, 4);
        s.pushed = 0;
        write(Bit(kEbp));
        if (forward) {
          s.saved[kEbp] = at;
        } else if (at.Known() && s.saved[kEbp] == at) {
          s.saved[kEbp] = kNone;
          s.original |= Bit(kEbp);
          s.ebp = {X86Value::Ebp, 0};
        }
        return;
      }
      case Op::Enter: {
        const int32_t size = st.value & 0xFFFF, level = (st.value >> 16) & 31;
        if (!forward && (s.original & Bit(kEbp)) && s.saved[kEbp] == kNone) s.saved[kEbp] = Plus(s.esp, -4);
        s.esp = Plus(s.esp, -4);
        write(Bit(kEbp));
        s.ebp = s.esp;
        s.esp = Plus(s.esp, -(4 * level + size));
        s.pushed = 0;
        return;
      }
      case Op::Pushad:
        for (uint8_t r = 0; r < 8; ++r) {
          s.esp = Plus(s.esp, -4);
          if (!forward && IsCalleeSaved(r) && (s.original & Bit(r)) && s.saved[r] == kNone) s.saved[r] = s.esp;
        }
        return;
      case Op::Popad:
        for (int r = 7; r >= 0; --r) {
          if (r != kEsp) {
            Step pop;
            pop.op = Op::Pop;
            pop.reg = uint8_t(r);
            Apply(pop, s, forward);
          } else {
            s.esp = Plus(s.esp, 4);
          }
        }
        return;
      case Op::MovEaxImm:
        write(Bit(kEax));
        s.eax = uint32_t(st.value);
        return;
      case Op::Call:
      case Op::CallIndirect:
        if (st.op == Op::Call && uint32_t(st.value) == st.rva + st.length) {  // call $+5: a push of EIP
          s.esp = Plus(s.esp, -4);
          return;
        }
        {
          const int32_t popped = Popped(st, s);
          s.esp = Plus(s.esp, popped);
          s.pushed = 0;
          const std::optional<uint32_t> eax = s.eax;
          write(Bit(kEcx) | Bit(kEdx) | Bit(kEax));
          // A stack probe keeps EAX for the `sub esp, eax` after it.
          if (const std::optional<Step> after = StepAt(st.rva + st.length); after && after->op == Op::SubEspEax)
            s.eax = eax;
        }
        return;
      default:
        write(st.writes);
        return;
    }
  }

  const X86FrameTable& Function(uint32_t begin, uint32_t end) {
    const auto found = functions.find(begin);
    if (found != functions.end() && found->second.end == end) return found->second;
    X86FrameTable& table = functions[begin];
    table = Analyse(begin, end);
    return table;
  }

  X86FrameTable Analyse(uint32_t begin, uint32_t end) {
    X86FrameTable table;
    table.begin = begin;
    table.end = end;
    const auto [codeAt, baseAt] = CodeAt(begin);
    const std::string_view code = codeAt;
    const uint32_t base = baseAt;
    if (code.empty() || end <= begin || end - begin > kMaxFunctionBytes) return table;
    const size_t size = std::min<size_t>(end - begin, code.size() - (begin - base));
    const auto outerLabels = labels;
    labels = {begin, end};
    struct Restore {
      std::pair<uint32_t, uint32_t>& to;
      std::pair<uint32_t, uint32_t> value;
      ~Restore() { to = value; }
    } restore{labels, outerLabels};
    const uint32_t outerAligned = alignedAt;
    alignedAt = 0;
    struct RestoreAligned {
      uint32_t& to;
      uint32_t value;
      ~RestoreAligned() { to = value; }
    } restoreAligned{alignedAt, outerAligned};
    // Steps and states by offset from begin, decoded where a path reaches.
    // The instructions reached: their step and state, found by offset.
    struct Node {
      uint32_t at;
      Step step;
      State state;
    };
    std::vector<Node> nodes;
    OffsetMap index;  // offset: node
    const auto node = [&](uint32_t at) -> Node& { return nodes[size_t(*index.Find(at))]; };
    std::vector<uint32_t> work{0};
    index.Add(0, 0);
    nodes.push_back({0, Decode(code, begin - base, base).value_or(Step{}), State{}});
    size_t visits = 0;
    bool wrongReturn = false;
    const auto reach = [&](uint32_t to, const State& s) {
      if (to >= size) return;
      if (!index.Has(to)) {
        index.Add(to, int32_t(nodes.size()));
        nodes.push_back({to, Decode(code, begin - base + to, base).value_or(Step{}), s});
      } else if (!node(to).state.Join(s)) {
        return;
      }
      work.push_back(to);
    };
    while (!work.empty() && ++visits < kMaxVisits && Spend()) {
      const uint32_t at = work.back();
      work.pop_back();
      const Step st = node(at).step;  // length 0: no instruction
      if (st.length == 0) continue;
      State s = node(at).state;
      const uint32_t next = at + st.length;
      const uint32_t target = uint32_t(st.value) - begin;
      switch (st.op) {
        case Op::Stop: break;
        case Op::JmpIndirect:
          // A switch: every address of its table that lies in the function.
          if (st.immediate) {
            const uint64_t table = uint32_t(st.value) - image.imageBase;
            for (uint32_t k = 0; k < 1024 && table <= UINT32_MAX; ++k) {
              const LeBytes entry(PeBytesAt(image, bytes, uint32_t(table + 4 * k), 4));
              const std::optional<uint32_t> to = entry.U32(0);
              if (!to || *to - image.imageBase - begin >= size) break;
              reach(uint32_t(*to - image.imageBase - begin), s);
            }
          }
          break;
        case Op::Ret: {
          if (s.esp == X86Value{X86Value::Esp, 0}) break;  // the return
          // `push offset L ... ret`: a jump to L (Delphi's finally blocks),
          // the stack as the push left it (unknown where it was unknown).
          const uint64_t label = s.imm - uint64_t(image.imageBase) - begin;
          if (s.immTop && st.value == 0 && label < size && label > at) {
            s.esp = s.esp.Known() && s.immAt == s.esp ? Plus(s.immAt, 4) : kLost;
            s.immAt = kLost;
            s.immTop = false;
            reach(uint32_t(label), s);
          } else if (s.esp.Known()) {
            wrongReturn = true;
          }
          break;
        }
        case Op::Jmp:
          reach(target, s);
          break;
        case Op::Jcc:
          Apply(st, s, false);
          reach(target, s);
          reach(next, s);
          break;
        case Op::Call: case Op::CallIndirect:
          Apply(st, s, false);
          if (!IsFiller(code, begin - base + next)) reach(next, s);
          break;
        default:
          Apply(st, s, false);
          reach(next, s);
      }
      if (wrongReturn) break;
    }
    if (wrongReturn || visits >= kMaxVisits || budget == 0) return table;
    std::sort(nodes.begin(), nodes.end(), [](const Node& a, const Node& b) { return a.at < b.at; });
    for (const Node& n : nodes) {
      if (n.step.length == 0) continue;
      X86FrameRow row;
      row.rva = begin + n.at;
      row.length = n.step.length;
      row.frame = FrameOf(n.state, {X86Value::Esp, 0}, false);
      table.rows.push_back(row);
    }
    return table;
  }

  // The frame a state gives, the slot being `slot` in its terms; none
  // unless the slot can be reached from ESP or EBP. Read forward, the terms
  // are the registers at the frame's instruction already; from the start,
  // the state's registers tell where the entry's values are now.
  static std::optional<X86Frame> FrameOf(const State& s, X86Value slot, bool forward) {
    if (!slot.Known()) return std::nullopt;
    const auto through = [&](X86Value v) -> X86Value {
      if (!v.Known() || forward) return v;
      if (s.esp.Known() && s.esp.base == v.base) return {X86Value::Esp, Sub(v.offset, s.esp.offset)};
      if (s.ebp.Known() && s.ebp.base == v.base) return {X86Value::Ebp, Sub(v.offset, s.ebp.offset)};
      if (v.base == X86Value::Ebp && (s.original & Bit(kEbp))) return v;
      return kLost;
    };
    X86Frame f;
    f.slot = through(slot);
    if (!f.slot.Known() && !forward && slot.base == X86Value::Esp && s.cfaAt.Known()) {
      // A realigned stack: the slot through the pointer saved to it.
      f.slot = through(s.cfaAt);
      f.indirect = true;
      f.indirectOffset = Sub(slot.offset, s.cfaAtOffset);
    }
    if (!f.slot.Known()) return std::nullopt;
    if (!forward && f.slot.base == X86Value::Esp && s.ebp.Known() && s.ebp.base == slot.base)
      f.slotByEbp = {X86Value::Ebp, Sub(slot.offset, s.ebp.offset)};
    for (uint8_t r = 0; r < 8; ++r) {
      if (!IsCalleeSaved(r)) continue;
      if (s.saved[r].Known()) {
        f.saved[r] = through(s.saved[r]);
      } else if (s.saved[r] == kNone && (s.original & Bit(r))) {
        f.saved[r] = kNone;
      } else {
        f.saved[r] = kLost;
      }
    }
    return f;
  }

  // Forward from rva (a frame's instruction) to a return, depth first,
  // fall-through first, backtracking from dead ends; bases: ESP and EBP at rva.
  std::optional<X86Frame> Forward(uint32_t rva, uint16_t* retPop, std::optional<uint32_t> end = std::nullopt,
                                  unsigned maxSteps = kMaxForwardSteps) {
    struct Branch {
      uint32_t rva;
      State state;
    };
    std::vector<Branch> branches;
    Seen seen;
    State s;
    uint32_t at = rva;
    unsigned steps = 0, taken = 0;
    const auto outerLabels = labels;
    labels = {rva, end ? *end : rva + 0x10000};
    struct Restore {
      std::pair<uint32_t, uint32_t>& to;
      std::pair<uint32_t, uint32_t> value;
      ~Restore() { to = value; }
    } restore{labels, outerLabels};
    const auto deadEnd = [&]() -> bool {
      if (branches.empty() || ++taken > kMaxForwardBranches) return false;
      at = branches.back().rva;
      s = branches.back().state;
      branches.pop_back();
      return true;
    };
    while (++steps < maxSteps && Spend()) {
      const bool looped = seen.Has(at);
      const std::optional<Step> st = looped ? std::nullopt : StepAt(at);
      if (!st || st->op == Op::Stop || st->op == Op::JmpIndirect) {
        if (!deadEnd()) return std::nullopt;
        continue;
      }
      seen.Add(at);
      const uint32_t next = at + st->length;
      // Falling through past the function's end, or into filler after a
      // call (a callee that does not return), ends the path.
      const bool fallsOut = (end && next >= *end) ||
                            ((st->op == Op::Call || st->op == Op::CallIndirect) && FillerAt(next));
      switch (st->op) {
        case Op::Ret:
          if (s.immAt.Known() && s.immAt == s.esp && st->value == 0 && s.imm - uint64_t(image.imageBase) > at) {
            // `push offset L ... ret`
            s.esp = Plus(s.immAt, 4);
            s.immAt = kLost;
            at = uint32_t(s.imm - image.imageBase);
            continue;
          }
          if (retPop) *retPop = uint16_t(st->value);
          return FrameOf(s, s.esp, true);
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
          Apply(*st, s, true);
          at = next;
          if (fallsOut && !deadEnd()) return std::nullopt;
      }
    }
    return std::nullopt;
  }

  bool FillerAt(uint32_t rva) const {
    const auto [code, base] = CodeAt(rva);
    return !code.empty() && rva - base < code.size() && IsFiller(code, rva - base);
  }

  std::optional<uint16_t> CalleePops(uint32_t entry) {
    const auto found = pops.find(entry);
    if (found != pops.end()) return found->second;
    if (depth >= kMaxCalleeDepth) return std::nullopt;
    pops[entry] = std::nullopt;  // a call of itself learns nothing
    ++depth;
    uint16_t n = 0;
    const std::optional<X86Frame> f = Forward(entry, &n, std::nullopt, kMaxCalleeSteps);
    --depth;
    std::optional<uint16_t> answer;
    if (f && f->slot == X86Value{X86Value::Esp, 0}) answer = n;
    if (!answer && budget == 0) {
      pops.erase(entry);  // out of time, not an answer
    } else {
      pops[entry] = answer;
    }
    return answer;
  }
};

const X86FrameRow* X86FrameTable::At(uint32_t rva) const {
  const auto it = std::lower_bound(rows.begin(), rows.end(), rva,
                                   [](const X86FrameRow& r, uint32_t v) { return r.rva < v; });
  return it != rows.end() && it->rva == rva ? &*it : nullptr;
}

const X86FrameRow* X86FrameTable::EndingAt(uint32_t rva) const {
  auto it = std::lower_bound(rows.begin(), rows.end(), rva, [](const X86FrameRow& r, uint32_t v) { return r.rva < v; });
  if (it == rows.begin()) return nullptr;
  --it;
  return it->rva + it->length == rva ? &*it : nullptr;
}

X86Code::X86Code(const PeImage& image, std::string_view bytes) : impl_(std::make_unique<Impl>(image, bytes)) {}
X86Code::~X86Code() = default;

const X86FrameTable& X86Code::Function(uint32_t begin, uint32_t end) {
  return *impl_->Ask([&] { return &impl_->Function(begin, end); });
}

std::optional<uint16_t> X86Code::CalleePops(uint32_t entry) {
  return impl_->Ask([&] { return impl_->CalleePops(entry); });
}

std::optional<X86Frame> X86Code::Forward(uint32_t rva, bool callerFrame, std::optional<uint32_t> end) {
  return impl_->Ask([&] { return ForwardRead(rva, callerFrame, end); });
}

std::optional<X86Frame> X86Code::ForwardRead(uint32_t rva, bool callerFrame, std::optional<uint32_t> end) {
  if (callerFrame) {
    // The call before the return address, and the frame as it was there.
    const std::optional<Step> call = [&]() -> std::optional<Step> {
      for (uint32_t length = 2; length <= 7 && length <= rva; ++length) {
        const std::optional<Step> st = impl_->StepAt(rva - length);
        if (st && st->length == length && (st->op == Op::Call || st->op == Op::CallIndirect)) return st;
      }
      return std::nullopt;
    }();
    if (!call) return std::nullopt;
    rva = call->rva;
  }
  return impl_->Forward(rva, nullptr, end);
}

std::optional<X86Frame> X86Code::FrameAt(uint32_t rva, bool callerFrame,
                                         std::optional<std::pair<uint32_t, uint32_t>> function) {
  return impl_->Ask([&] { return FrameRead(rva, callerFrame, function); });
}

std::optional<X86Frame> X86Code::FrameRead(uint32_t rva, bool callerFrame,
                                           std::optional<std::pair<uint32_t, uint32_t>> function) {
  std::optional<X86Frame> fromStart;
  if (function && function->first <= rva && rva <= function->second) {
    const X86FrameTable& table = impl_->Function(function->first, function->second);
    const X86FrameRow* row = callerFrame ? table.EndingAt(rva) : table.At(rva);
    if (row) fromStart = row->frame;
  }
  const std::optional<X86Frame> forward =
      ForwardRead(rva, callerFrame, function ? std::optional<uint32_t>(function->second) : std::nullopt);
  if (fromStart && forward && !fromStart->SameSlot(*forward)) return std::nullopt;
  return fromStart ? fromStart : forward;
}

}  // namespace qf
