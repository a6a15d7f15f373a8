// A function's table: its paths followed from its start over the steps with
// a worklist, each instruction's state only ever losing knowledge at a join,
// so the walk ends on any code; a switch's jumps through its table of
// addresses followed to every address that lies in the function.
#include <algorithm>
#include <vector>

#include "image/X86Analysis.h"
#include "image/X86Length.h"

namespace qf {
namespace x86 {
namespace {

constexpr size_t kMaxFunctionBytes = 1 << 20;
constexpr size_t kMaxVisits = 1 << 18;  // instructions processed for one function

class Paths {
 public:
  Paths(Analysis& analysis, uint32_t begin, uint32_t end, std::string_view code, uint32_t base)
      : analysis_(analysis), reading_{{analysis, {begin, end}, 0}, 0, 0}, begin_(begin), code_(code), base_(base),
        size_(std::min<size_t>(end - begin, code.size() - (begin - base))) {}

  // Whether the function starts by pushing a register that holds no
  // caller's value to keep (room for a local, or an argument), after
  // setting up a frame pointer or not (`push ebp; mov ebp,esp`): then
  // pushes of registers at the start count as no arguments.
  bool ReservesByPush() {
    uint32_t at = begin_;
    bool reserves = false, pushedEbp = false;
    for (int k = 0; k < 9; ++k) {
      const std::optional<Step> st = analysis_.StepAt(at);
      if (st && k == 1 && pushedEbp && st->op == Op::EbpFromEsp && st->value == 0) {
        at += st->length;
        continue;
      }
      if (!st || st->op != Op::Push || st->reg > 7) break;
      pushedEbp = k == 0 && st->reg == kEbp && st->size == 4;
      reserves = reserves || !IsCalleeSaved(st->reg);
      at += st->length;
    }
    if (reserves) reading_.prologueEnd = at;
    return reserves;
  }

  // Follows every path from the start; false where a return is reached at
  // a wrong height or the visits or the budget ran out.
  bool Run() {
    index_.Add(0, 0);
    nodes_.push_back({0, Decode(code_, begin_ - base_, base_).value_or(Step{}), State{}});
    std::vector<uint32_t>& work = work_;
    work.push_back(0);
    size_t visits = 0;
    while (!work.empty() && ++visits < kMaxVisits && analysis_.Spend()) {
      const uint32_t at = work.back();
      work.pop_back();
      if (!Follow(at)) return false;
    }
    return visits < kMaxVisits && analysis_.budget != 0;
  }

  // The rows of the instructions reached, in address order, and those
  // left at two heights.
  void Rows(X86FrameTable& table) {
    std::sort(nodes_.begin(), nodes_.end(), [](const Node& a, const Node& b) { return a.at < b.at; });
    for (const Node& n : nodes_) {
      if (n.step.length == 0) continue;
      X86FrameRow row;
      row.rva = begin_ + n.at;
      row.length = n.step.length;
      row.frame = FrameFromEntry(n.state);
      table.rows.push_back(row);
      if (row.frame) continue;
      if (const std::optional<X86Frame> higher = HigherFrameFromEntry(n.state))
        table.either.push_back({row.rva, *higher, n.state.below});
    }
  }

 private:
  // The instructions reached: their step (length 0: no instruction) and
  // state, found by offset from the start.
  struct Node {
    uint32_t at;
    Step step;
    State state;
  };
  Node& NodeAt(uint32_t at) { return nodes_[size_t(*index_.Find(at))]; }

  void Reach(uint32_t to, const State& s) {
    if (to >= size_) return;
    if (!index_.Has(to)) {
      index_.Add(to, int32_t(nodes_.size()));
      nodes_.push_back({to, Decode(code_, begin_ - base_ + to, base_).value_or(Step{}), s});
    } else if (!NodeAt(to).state.Join(s)) {
      return;
    }
    work_.push_back(to);
  }

  // The instruction at offset `at` from the state its paths gave it; false
  // at a return at a wrong height.
  bool Follow(uint32_t at) {
    const Step st = NodeAt(at).step;
    if (st.length == 0) return true;
    State s = NodeAt(at).state;
    const uint32_t next = at + st.length;
    switch (st.op) {
      case Op::Stop: return true;
      case Op::JmpIndirect: Switch(st, s); return true;
      case Op::Ret: return Return(at, st, s);
      case Op::Jmp: Reach(uint32_t(st.value) - begin_, s); return true;
      case Op::Jcc:
        Apply(reading_, st, s);
        Reach(uint32_t(st.value) - begin_, s);
        Reach(next, s);
        return true;
      case Op::Call: case Op::CallIndirect:
        Apply(reading_, st, s);
        if (!IsFiller(code_, begin_ - base_ + next)) Reach(next, s);
        return true;
      default:
        Apply(reading_, st, s);
        Reach(next, s);
        return true;
    }
  }

  // A switch: every address of its table that lies in the function.
  void Switch(const Step& st, const State& s) {
    if (!st.immediate) return;
    const PeImage& image = analysis_.image;
    const uint64_t table = uint32_t(st.value) - image.imageBase;
    for (uint32_t k = 0; k < 1024 && table <= UINT32_MAX; ++k) {
      const LeBytes entry(PeBytesAt(image, analysis_.bytes, uint32_t(table + 4 * k), 4));
      const std::optional<uint32_t> to = entry.U32(0);
      if (!to || *to - image.imageBase - begin_ >= size_) break;
      Reach(uint32_t(*to - image.imageBase - begin_), s);
    }
  }

  bool Return(uint32_t at, const Step& st, State s) {
    if (s.esp == X86Value{X86Value::Esp, 0} && s.below == 0) return true;  // the return
    // `push offset L ... ret`: a jump to L (Delphi's finally blocks),
    // the stack as the push left it (unknown where it was unknown).
    const uint64_t label = s.imm - uint64_t(analysis_.image.imageBase) - begin_;
    if (s.immTop && st.value == 0 && label < size_ && label > at) {
      s.esp = s.esp.Known() && s.immAt == s.esp ? Plus(s.immAt, 4) : kLost;
      s.immAt = kLost;
      s.immTop = false;
      Reach(uint32_t(label), s);
      return true;
    }
    return !s.esp.Known() || s.below != 0;
  }

  Analysis& analysis_;
  EntryReading reading_;
  const uint32_t begin_;
  const std::string_view code_;
  const uint32_t base_;
  const size_t size_;
  std::vector<Node> nodes_;
  OffsetMap index_;  // offset: node
  std::vector<uint32_t> work_;
};

// Whether the span at code[at] holds data, not a function (the tables,
// class records and texts the MAP files of Delphi and C++Builder name in
// the code segment): its straight run from the start holds an instruction
// no compiler writes there, or bytes that are none.
bool StartsAsData(const PeImage& image, std::string_view code, size_t at, size_t size) {
  const size_t end = at + size;
  // A class record or a table of addresses: its first word an address in
  // the image, the second one too, or zero.
  const LeBytes words(code.substr(at, std::min<size_t>(size, 8)));
  const auto inImage = [&](uint32_t v) { return v - image.imageBase < image.sizeOfImage; };
  if (const auto w0 = words.U32(0), w1 = words.U32(4); w0 && w1 && inImage(*w0) && (*w1 == 0 || inImage(*w1)))
    return true;
  for (int k = 0; k < 16 && at < end; ++k) {
    const std::optional<X86Instruction> i = DecodeX86(code, at);
    if (!i) return true;
    const uint8_t op = i->opcode;
    if (k == 0 && i->map == 1 && op == 0x61) return true;  // popad first: a text ("a")
    if (i->map == 1) {
      if ((op == 0x00 && i->modrm == 0) || op == 0x62 || op == 0x63 || (op >= 0x6C && op <= 0x6F) ||
          (op >= 0xE4 && op <= 0xE7) || (op >= 0xEC && op <= 0xEF) || op == 0xF4 || op == 0x9A || op == 0xEA ||
          op == 0xD6 || op == 0xCE || op == 0x27 || op == 0x2F || op == 0x37 || op == 0x3F || op == 0xD4 || op == 0xD5)
        return true;
      if ((op >= 0x70 && op <= 0x7F) || (op >= 0xE0 && op <= 0xE3) || op == 0xE8 || op == 0xE9 || op == 0xEB ||
          op == 0xC2 || op == 0xC3 || op == 0xFF)
        return false;  // the straight run ends
    } else if (i->map == 2 && op >= 0x80 && op <= 0x8F) {
      return false;
    }
    at += i->length;
  }
  return false;
}

X86FrameTable Analyse(Analysis& analysis, uint32_t begin, uint32_t end) {
  X86FrameTable table;
  table.begin = begin;
  table.end = end;
  const auto [code, base] = analysis.CodeAt(begin);
  if (code.empty() || end <= begin || end - begin > kMaxFunctionBytes) return table;
  if (StartsAsData(analysis.image, code, begin - base, std::min<size_t>(end - begin, code.size() - (begin - base)))) return table;
  // Room for locals is taken first; where a return then lies at a wrong
  // height, those pushes were arguments after all.
  Paths paths(analysis, begin, end, code, base);
  if (paths.ReservesByPush()) {
    if (paths.Run()) {
      paths.Rows(table);
      return table;
    }
    if (analysis.budget == 0) return table;
  }
  Paths again(analysis, begin, end, code, base);
  if (again.Run()) again.Rows(table);
  return table;
}

}  // namespace

const X86FrameTable& FunctionTable(Analysis& analysis, uint32_t begin, uint32_t end) {
  const auto found = analysis.functions.find(begin);
  if (found != analysis.functions.end() && found->second.end == end) return found->second;
  X86FrameTable& table = analysis.functions[begin];
  table = Analyse(analysis, begin, end);
  return table;
}

}  // namespace x86
}  // namespace qf
