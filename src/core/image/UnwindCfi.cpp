// The frame of an x64 function in Breakpad's terms: the CFA is the stack
// pointer before the call that entered the function (the return address
// lies at CFA - 8); the prolog moves RSP down from CFA - 8 by its pushes and
// allocations, or sets a frame register from which the CFA is found, and
// saves registers at places the CFA gives.
#include "image/UnwindCfi.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/NumberText.h"
#include "image/UnwindInfo.h"
#include "image/CallInstruction.h"
#include "image/X86Frames.h"

namespace qf {
namespace {

const char* const kRegisterNames[16] = {"$rax", "$rcx", "$rdx", "$rbx", "$rsp", "$rbp", "$rsi", "$rdi",
                                        "$r8",  "$r9",  "$r10", "$r11", "$r12", "$r13", "$r14", "$r15"};

// "BASE N +" or "BASE N -": base plus a signed distance, in decimal.
std::string Plus(const std::string& base, int64_t distance) {
  return base + ' ' + std::to_string(distance < 0 ? -distance : distance) + (distance < 0 ? " -" : " +");
}

// The rules of a frame at one place: the CFA and where each saved register
// is ("$rbx: .cfa 16 - ^"; a register's own name: restored already).
struct FrameState {
  std::string cfa;
  std::vector<std::pair<uint8_t, std::string>> saved;

  const std::string* RuleOf(uint8_t reg) const {
    for (const auto& [r, rule] : saved)
      if (r == reg) return &rule;
    return nullptr;
  }
  void Set(uint8_t reg, const std::string& rule) {
    for (auto& [r, old] : saved)
      if (r == reg) {
        old = rule;
        return;
      }
    saved.push_back({reg, rule});
  }
};

// What Breakpad has been told so far within one function: each STACK CFI
// line gives only the rules that change.
class RuleLines {
 public:
  explicit RuleLines(const char* const* names = kRegisterNames, const char* ra = " .ra: .cfa 8 - ^")
      : names_(names), ra_(ra) {}
  std::string Changes(const FrameState& target) {
    std::string out;
    if (target.cfa != shown_.cfa) out += ".cfa: " + target.cfa;
    if (!raShown_) out += ra_;
    raShown_ = true;
    for (const auto& [reg, rule] : target.saved) {
      const std::string* shown = shown_.RuleOf(reg);
      if (shown == nullptr || *shown != rule) out += std::string(" ") + names_[reg] + ": " + rule;
    }
    // A register saved before and not now holds its own value again.
    const FrameState before = shown_;
    shown_ = target;
    for (const auto& [reg, rule] : before.saved) {
      if (target.RuleOf(reg) != nullptr) continue;
      if (rule != names_[reg]) out += std::string(" ") + names_[reg] + ": " + names_[reg];
      shown_.Set(reg, names_[reg]);
    }
    if (!out.empty() && out[0] == ' ') out.erase(0, 1);
    return out;
  }

 private:
  const char* const* names_;
  const char* ra_;
  FrameState shown_;
  bool raShown_ = false;
};

// The frame as a prolog builds it, code by code.
class PrologRules {
 public:
  PrologRules() { state_.cfa = Plus("$rsp", 8); }
  const FrameState& State() const { return state_; }

  // Takes an entry's codes in the order its prolog runs them (the table
  // holds the last first), each after its instruction: step(prologOffset)
  // after the codes of one instruction. False for a code the rules cannot
  // follow.
  template <typename Step>
  bool Run(const UnwindEntry& entry, Step step) {
    // The base of the entry's save slots: RSP at the end of its prolog, or
    // where the frame register was set from.
    uint64_t frameAlloc = alloc_;
    bool frameSet = false;
    for (auto c = entry.codes.rbegin(); c != entry.codes.rend(); ++c) {
      if (c->op == UnwindOp::PushNonvol && !frameSet) frameAlloc += 8;
      if ((c->op == UnwindOp::AllocLarge || c->op == UnwindOp::AllocSmall) && !frameSet) frameAlloc += c->value;
      if (c->op == UnwindOp::SetFpreg) frameSet = true;
      if (c->op == UnwindOp::PushMachframe) return false;
    }
    for (auto c = entry.codes.rbegin(); c != entry.codes.rend(); ++c) {
      switch (c->op) {
        case UnwindOp::PushNonvol:
          alloc_ += 8;
          state_.Set(c->reg, Plus(".cfa", -static_cast<int64_t>(8 + alloc_)) + " ^");
          break;
        case UnwindOp::AllocLarge:
        case UnwindOp::AllocSmall:
          alloc_ += c->value;
          break;
        case UnwindOp::SetFpreg:
          frameRegister_ = entry.frameRegister;
          frameToCfa_ = 8 + static_cast<int64_t>(alloc_) - static_cast<int64_t>(entry.frameOffset);
          break;
        case UnwindOp::SaveNonvol:
        case UnwindOp::SaveNonvolFar:
          state_.Set(c->reg, Plus(".cfa", static_cast<int64_t>(c->value) - static_cast<int64_t>(8 + frameAlloc)) +
                                 " ^");
          break;
        default: break;  // XMM saves and epilog notes: nothing Breakpad restores
      }
      state_.cfa = frameRegister_ != 0 ? Plus(kRegisterNames[frameRegister_], frameToCfa_)
                                       : Plus("$rsp", 8 + static_cast<int64_t>(alloc_));
      if (c + 1 == entry.codes.rend() || (c + 1)->prologOffset != c->prologOffset) step(c->prologOffset);
    }
    return true;
  }

 private:
  FrameState state_;
  uint64_t alloc_ = 0;          // RSP = CFA - 8 - alloc_ while no frame register is set
  uint8_t frameRegister_ = 0;   // 0: none (RAX is never one)
  int64_t frameToCfa_ = 0;      // CFA = frame register + frameToCfa_
};

// An epilog as Windows reads one at code[at]: "add rsp, imm" or "lea rsp,
// [frame register + disp]" or neither, pops, then "ret" or a jump out of
// the function. (A "pop rsp", which Windows would read too, is never part
// of one: such bytes lie inside another instruction.)
struct Epilog {
  std::string cfa;             // at its first instruction
  std::vector<uint8_t> pops;   // the registers popped, in order
};

std::optional<Epilog> EpilogAt(const LeBytes& code, uint64_t at, uint8_t frameRegister) {
  const auto b = [&](uint64_t i) { return code.U8(at + i).value_or(0); };
  Epilog e;
  uint64_t i = 0;
  std::string base = "$rsp";
  int64_t distance = 0;  // from base to the lowest pop's slot
  if (b(0) == 0x48 && b(1) == 0x83 && b(2) == 0xC4 && code.Has(at, 4)) {
    distance = static_cast<int8_t>(b(3));
    i = 4;
  } else if (b(0) == 0x48 && b(1) == 0x81 && b(2) == 0xC4 && code.Has(at, 7)) {
    distance = static_cast<int32_t>(*code.U32(at + 3));
    i = 7;
  } else if (frameRegister != 0 && (b(0) & 0xFE) == 0x48 && b(1) == 0x8D) {
    // lea rsp, [reg + disp8 / disp32]: ModRM with reg = RSP, mod 1 or 2.
    const uint8_t modrm = b(2), mod = modrm >> 6;
    const uint8_t rm = static_cast<uint8_t>((modrm & 7) | (b(0) & 1) << 3);
    if ((modrm >> 3 & 7) != 4 || (mod != 1 && mod != 2) || rm != frameRegister) return std::nullopt;
    uint64_t p = 3;
    if ((modrm & 7) == 4) {
      if (b(3) != 0x24) return std::nullopt;  // SIB: base only
      p = 4;
    }
    const uint64_t size = mod == 1 ? 1 : 4;
    if (!code.Has(at + p, size)) return std::nullopt;
    distance = mod == 1 ? static_cast<int8_t>(b(p)) : static_cast<int32_t>(*code.U32(at + p));
    base = kRegisterNames[frameRegister];
    i = p + size;
  }
  for (;;) {
    if (b(i) >= 0x58 && b(i) <= 0x5F && b(i) != 0x5C && code.Has(at + i, 1)) {
      e.pops.push_back(static_cast<uint8_t>(b(i) - 0x58));
      i += 1;
    } else if (b(i) == 0x41 && b(i + 1) >= 0x58 && b(i + 1) <= 0x5F && code.Has(at + i, 2)) {  // R8 to R15
      e.pops.push_back(static_cast<uint8_t>(b(i + 1) - 0x58 + 8));
      i += 2;
    } else {
      break;
    }
  }
  // The last instruction leaves the function.
  uint64_t last = 0;
  if (b(i) == 0xC3 && code.Has(at + i, 1)) {
    last = 1;
  } else if (b(i) == 0xF3 && b(i + 1) == 0xC3 && code.Has(at + i, 2)) {
    last = 2;
  } else if (b(i) == 0xC2 && code.Has(at + i, 3)) {
    last = 3;
  } else if (b(i) == 0xE9 && code.Has(at + i, 5)) {
    const int64_t target = static_cast<int64_t>(at + i + 5) + static_cast<int32_t>(*code.U32(at + i + 1));
    last = target < 0 || static_cast<uint64_t>(target) >= code.Size() ? 5 : 0;
  } else if (b(i) == 0xEB && code.Has(at + i, 2)) {
    const int64_t target = static_cast<int64_t>(at + i + 2) + static_cast<int8_t>(b(i + 1));
    last = target < 0 || static_cast<uint64_t>(target) >= code.Size() ? 2 : 0;
  } else if (b(i) == 0xFF && b(i + 1) == 0x25 && code.Has(at + i, 6)) {
    last = 6;
  } else if (b(i) == 0x48 && b(i + 1) == 0xFF && b(i + 2) == 0x25 && code.Has(at + i, 7)) {
    last = 7;
  }
  if (last == 0) return std::nullopt;
  e.cfa = Plus(base, distance + 8 + 8 * static_cast<int64_t>(e.pops.size()));
  return e;
}

void AppendInit(std::string& out, uint64_t rva, uint64_t size, const std::string& rules) {
  out += "STACK CFI INIT ";
  AppendHex(out, rva, 1, HexCase::Lower);
  out += ' ';
  AppendHex(out, size, 1, HexCase::Lower);
  out += ' ';
  out += rules;
  out += '\n';
}

void AppendStep(std::string& out, uint64_t rva, const std::string& rules) {
  if (rules.empty()) return;
  out += "STACK CFI ";
  AppendHex(out, rva, 1, HexCase::Lower);
  out += ' ';
  out += rules;
  out += '\n';
}

// The records of one function; false (nothing written) when its codes
// cannot be followed. code: its bytes (for its epilogs).
bool AppendFunction(std::string& out, const UnwindFunction& function, std::string_view code) {
  const UnwindEntry& entry = function.entry;
  const uint64_t size = entry.end - entry.begin;
  PrologRules prolog;
  // The prologs a chained entry continues ran whole before it.
  for (auto parent = function.chain.rbegin(); parent != function.chain.rend(); ++parent) {
    if (!prolog.Run(*parent, [](uint8_t) {})) return false;
  }
  RuleLines lines;
  std::string init = lines.Changes(prolog.State());
  std::string steps;
  const bool ok = prolog.Run(entry, [&](uint8_t offset) {
    if (offset == 0) {
      const std::string changes = lines.Changes(prolog.State());
      if (!changes.empty()) init += ' ' + changes;
    } else if (offset < size) {
      AppendStep(steps, entry.begin + offset, lines.Changes(prolog.State()));
    }
  });
  if (!ok) return false;
  // The epilogs, byte by byte as Windows reads them (a chained entry's with
  // its own frame register): where the bytes are an epilog, the frame as it
  // is taken down from there (from the stack pointer; registers not popped
  // are restored already), else the whole frame.
  const FrameState body = prolog.State();
  {
    const LeBytes bytes(code);
    bool inEpilog = false;
    for (uint64_t at = entry.prologSize; at < code.size(); ++at) {
      const std::optional<Epilog> epilog = EpilogAt(bytes, at, entry.frameRegister);
      if (!epilog) {
        if (inEpilog) AppendStep(steps, entry.begin + at, lines.Changes(body));
        inEpilog = false;
        continue;
      }
      FrameState down;
      down.cfa = epilog->cfa;
      for (const auto& [reg, rule] : body.saved) {
        (void)rule;
        down.Set(reg, kRegisterNames[reg]);
      }
      const std::size_t pops = epilog->pops.size();
      for (std::size_t j = 0; j < pops; ++j) {
        down.Set(epilog->pops[j], Plus(".cfa", -8 - 8 * static_cast<int64_t>(pops - j)) + " ^");
      }
      AppendStep(steps, entry.begin + at, lines.Changes(down));
      inEpilog = true;
    }
  }
  AppendInit(out, entry.begin, size, init);
  out += steps;
  return true;
}

const char* const kX86Names[8] = {"$eax", "$ecx", "$edx", "$ebx", "$esp", "$ebp", "$esi", "$edi"};

// The rules of an analysed x86 frame: the CFA is ESP before the call (the
// return-address slot plus 4).
FrameState X86Rules(const X86Frame& f) {
  FrameState state;
  const auto reg = [](const X86Value& v) { return std::string(kX86Names[v.base == X86Value::Esp ? kEsp : kEbp]); };
  // A realigned frame: the CFA is the pointer it saved, plus what lies between.
  if (!f.indirect) {
    state.cfa = Plus(reg(f.slot), int64_t(f.slot.offset) + 4);
  } else {
    const int64_t beyond = int64_t(f.indirectOffset) + 4;
    state.cfa = Plus(reg(f.slot), f.slot.offset) + " ^";
    if (beyond != 0) state.cfa = Plus(state.cfa, beyond);
  }
  for (const uint8_t r : {kEbx, kEbp, kEsi, kEdi}) {
    const X86Value& saved = f.saved[r];
    if (!saved.Known()) continue;
    state.Set(r, saved.base == f.slot.base && !f.indirect ? Plus(".cfa", int64_t(saved.offset) - f.slot.offset - 4) + " ^"
                                           : Plus(reg(saved), saved.offset) + " ^");
  }
  return state;
}

}  // namespace

std::string X86StackCfi(const PeImage& image, std::string_view bytes,
                        const std::vector<std::pair<uint32_t, uint32_t>>& functions) {
  std::string out;
  if (image.machine != PeImage::Machine::X86) return out;
  X86Code code(image, bytes);
  for (const auto& [begin, end] : functions) {
    X86FrameTable table = code.Function(begin, end);
    // No rule at a call where the forward read from it finds another frame
    // (the walk takes the caller's frame there).
    for (X86FrameRow& row : table.rows) {
      if (!row.frame || !CallBeforeRva(image, bytes, row.rva + row.length)) continue;
      const std::optional<X86Frame> forward = code.Forward(row.rva + row.length, true, end);
      if (forward && !forward->SameSlot(*row.frame)) row.frame.reset();
    }
    // Each stretch of instructions, one after the other, whose frames are known.
    for (size_t i = 0; i < table.rows.size();) {
      if (!table.rows[i].frame) {
        ++i;
        continue;
      }
      size_t j = i + 1;
      while (j < table.rows.size() && table.rows[j].frame && table.rows[j].rva == table.rows[j - 1].rva + table.rows[j - 1].length)
        ++j;
      RuleLines lines(kX86Names, " .ra: .cfa 4 - ^");
      AppendInit(out, table.rows[i].rva, table.rows[j - 1].rva + table.rows[j - 1].length - table.rows[i].rva,
                 lines.Changes(X86Rules(*table.rows[i].frame)));
      for (size_t k = i + 1; k < j; ++k) AppendStep(out, table.rows[k].rva, lines.Changes(X86Rules(*table.rows[k].frame)));
      i = j;
    }
  }
  return out;
}

std::string X64StackCfi(const PeImage& image, std::string_view bytes) {
  std::string out;
  if (image.machine != PeImage::Machine::Amd64) return out;
  const UnwindTable table(image, bytes);
  const std::string leaf = ".cfa: $rsp 8 + .ra: .cfa 8 - ^";
  // Code that no entry covers, in the executable sections, is a leaf.
  std::vector<std::pair<uint64_t, uint64_t>> code;
  for (const PeSection& s : image.sections) {
    if (s.IsCode() && s.Span() != 0) code.push_back({s.virtualAddress, uint64_t{s.virtualAddress} + s.Span()});
  }
  std::sort(code.begin(), code.end());
  std::size_t section = 0;
  uint64_t covered = 0;  // the end of the last range given rules
  const auto leavesUpTo = [&](uint64_t end) {
    for (; section < code.size() && code[section].first < end; ++section) {
      const uint64_t from = std::max(covered, code[section].first);
      const uint64_t to = std::min(end, code[section].second);
      if (from < to) AppendInit(out, from, to - from, leaf);
      if (code[section].second > end) break;
    }
    covered = std::max(covered, end);
  };
  for (std::size_t i = 0; i < table.Size(); ++i) {
    const std::optional<UnwindEntry> entry = table.EntryAt(i);
    if (!entry || entry->begin < covered) continue;  // unreadable, or out of order
    leavesUpTo(entry->begin);
    const std::optional<UnwindFunction> function = table.FunctionAt(entry->begin);
    if (function && function->entry.begin == entry->begin)
      AppendFunction(out, *function, PeBytesAt(image, bytes, entry->begin, entry->end - entry->begin));
    covered = entry->end;
  }
  leavesUpTo(UINT64_MAX);
  return out;
}

}  // namespace qf
