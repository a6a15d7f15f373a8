// The frame of an x64 function in Breakpad's terms: the CFA is the stack
// pointer before the call that entered the function (the return address
// lies at CFA - 8); the prolog moves RSP down from CFA - 8 by its pushes and
// allocations, or sets a frame register from which the CFA is found, and
// saves registers at places the CFA gives.
#include "image/UnwindCfi.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "image/UnwindInfo.h"

namespace qf {
namespace {

const char* const kRegisterNames[16] = {"$rax", "$rcx", "$rdx", "$rbx", "$rsp", "$rbp", "$rsi", "$rdi",
                                        "$r8",  "$r9",  "$r10", "$r11", "$r12", "$r13", "$r14", "$r15"};

void AppendHex(std::string& out, uint64_t value) {
  char text[16];
  int n = 0;
  do {
    text[15 - n++] = "0123456789abcdef"[value & 0xF];
    value >>= 4;
  } while (value != 0);
  out.append(text + 16 - n, static_cast<std::size_t>(n));
}

// "BASE N +" or "BASE N -": base plus a signed distance, in decimal.
std::string Plus(const std::string& base, int64_t distance) {
  return base + ' ' + std::to_string(distance < 0 ? -distance : distance) + (distance < 0 ? " -" : " +");
}

class FrameRules {
 public:
  // The rules that changed since the last call, for a STACK CFI line
  // (all of them the first time).
  std::string Changes() {
    std::string out;
    const std::string cfa = Cfa();
    if (cfa != shownCfa_) out += ".cfa: " + cfa;
    if (!raShown_) out += " .ra: .cfa 8 - ^";
    raShown_ = true;
    shownCfa_ = cfa;
    for (const auto& [reg, rule] : saved_) {
      const auto shown = std::find_if(shown_.begin(), shown_.end(), [&](const auto& r) { return r.first == reg; });
      if (shown != shown_.end() && shown->second == rule) continue;
      out += std::string(out.empty() ? "" : " ") + kRegisterNames[reg] + ": " + rule;
      if (shown != shown_.end()) {
        shown->second = rule;
      } else {
        shown_.push_back({reg, rule});
      }
    }
    if (!out.empty() && out[0] == ' ') out.erase(0, 1);
    return out;
  }

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
          Save(c->reg, 8 + alloc_, 0);
          break;
        case UnwindOp::AllocLarge:
        case UnwindOp::AllocSmall: alloc_ += c->value; break;
        case UnwindOp::SetFpreg:
          frameRegister_ = entry.frameRegister;
          frameToCfa_ = 8 + static_cast<int64_t>(alloc_) - static_cast<int64_t>(entry.frameOffset);
          break;
        case UnwindOp::SaveNonvol:
        case UnwindOp::SaveNonvolFar: Save(c->reg, 8 + frameAlloc, c->value); break;
        default: break;  // XMM saves and epilog notes: nothing Breakpad restores
      }
      if (c + 1 == entry.codes.rend() || (c + 1)->prologOffset != c->prologOffset) step(c->prologOffset);
    }
    return true;
  }

 private:
  std::string Cfa() const {
    if (frameRegister_ != 0) return Plus(kRegisterNames[frameRegister_], frameToCfa_);
    return Plus("$rsp", 8 + static_cast<int64_t>(alloc_));
  }
  // The register saved at CFA - below + above.
  void Save(uint8_t reg, uint64_t below, uint64_t above) {
    const int64_t distance = static_cast<int64_t>(above) - static_cast<int64_t>(below);
    const std::string rule = Plus(".cfa", distance) + " ^";
    const auto at = std::find_if(saved_.begin(), saved_.end(), [&](const auto& r) { return r.first == reg; });
    if (at != saved_.end()) {
      at->second = rule;
    } else {
      saved_.push_back({reg, rule});
    }
  }

  uint64_t alloc_ = 0;          // RSP = CFA - 8 - alloc_ while no frame register is set
  uint8_t frameRegister_ = 0;   // 0: none (RAX is never one)
  int64_t frameToCfa_ = 0;      // CFA = frame register + frameToCfa_
  std::vector<std::pair<uint8_t, std::string>> saved_, shown_;
  std::string shownCfa_;
  bool raShown_ = false;
};

void AppendInit(std::string& out, uint64_t rva, uint64_t size, const std::string& rules) {
  out += "STACK CFI INIT ";
  AppendHex(out, rva);
  out += ' ';
  AppendHex(out, size);
  out += ' ';
  out += rules;
  out += '\n';
}

// The records of one function; false (nothing written) when its codes
// cannot be followed.
bool AppendFunction(std::string& out, const UnwindFunction& function) {
  const UnwindEntry& entry = function.entry;
  FrameRules rules;
  // The prologs a chained entry continues ran whole before it.
  for (auto parent = function.chain.rbegin(); parent != function.chain.rend(); ++parent) {
    if (!rules.Run(*parent, [](uint8_t) {})) return false;
  }
  std::string steps;
  std::string init = rules.Changes();
  const bool ok = rules.Run(entry, [&](uint8_t offset) {
    const std::string changes = rules.Changes();
    if (changes.empty()) return;
    if (offset == 0) {
      init += ' ' + changes;
    } else if (offset < entry.end - entry.begin) {
      steps += "STACK CFI ";
      AppendHex(steps, uint64_t{entry.begin} + offset);
      steps += ' ' + changes + '\n';
    }
  });
  if (!ok) return false;
  AppendInit(out, entry.begin, entry.end - entry.begin, init);
  out += steps;
  return true;
}

}  // namespace

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
    if (function && function->entry.begin == entry->begin) AppendFunction(out, *function);
    covered = entry->end;
  }
  leavesUpTo(UINT64_MAX);
  return out;
}

}  // namespace qf
