#include "export/PdbFrameData.h"

#include "export/LittleEndian.h"
#include "export/PdbFormat.h"
#include "export/PdbHash.h"
#include "image/X86Frames.h"
#include "image/X86Length.h"

namespace qf {
namespace {

bool Named(const X86Value& v) { return v.base == X86Value::Esp || v.base == X86Value::Ebp; }

// "REG N +" (or "-"), or REG alone for no offset: a register at the frame's
// instruction plus an offset, in postfix with decimal constants.
std::string At(const X86Value& v, int64_t extra = 0) {
  std::string out = v.base == X86Value::Esp ? "$esp" : "$ebp";
  const int64_t offset = int64_t{v.offset} + extra;
  if (offset != 0) out += ' ' + std::to_string(offset < 0 ? -offset : offset) + (offset < 0 ? " -" : " +");
  return out;
}

}  // namespace

std::string X86FrameProgram(const X86Frame& f) {
  if (!Named(f.slot)) return {};
  // EIP, ESP and EBP only: the registers a walk needs, every slot being
  // reached through ESP or EBP. Kept short, with the temporaries $T0 (the
  // return address's slot), $T5 (the caller's EBP) and $T6 (a realigned
  // frame's pointer): dbghelp under Wine (8.0) loses assignments in longer
  // programs that make other variables ($ebx, $T1). EBP's slot is read
  // before ESP changes, EBP assigned last.
  std::string program;
  // Through EBP where the frame keeps it (the saved EBP's slot too): a
  // callee's pops the analysis counts wrong do not move it.
  const bool byEbp = !f.indirect && f.slotByEbp.base == X86Value::Ebp;
  X86Value savedEbp = f.saved[kEbp];
  if (byEbp && f.slot.base == X86Value::Esp && savedEbp.base == X86Value::Esp)
    savedEbp = {X86Value::Ebp, savedEbp.offset - f.slot.offset + f.slotByEbp.offset};
  if (!f.indirect) {
    program = "$T0 " + At(byEbp ? f.slotByEbp : f.slot) + " =";
  } else {
    program = "$T6 " + At(f.slot) + " ^ = $T0 $T6";
    if (f.indirectOffset != 0)
      program += ' ' + std::to_string(f.indirectOffset < 0 ? -int64_t{f.indirectOffset} : f.indirectOffset) +
                 (f.indirectOffset < 0 ? " -" : " +");
    program += " =";
  }
  const bool ebp = Named(savedEbp);
  if (ebp) program += " $T5 " + At(savedEbp) + " ^ =";
  program += " $eip $T0 ^ = $esp $T0 4 + =";
  return ebp ? program + " $ebp $T5 =" : program;
}

std::vector<PdbFrameRecord> X86FrameRecords(const PeImage& image, std::string_view bytes,
                                            const std::vector<std::pair<uint32_t, uint32_t>>& functions) {
  std::vector<PdbFrameRecord> records;
  if (image.machine != PeImage::Machine::X86) return records;
  X86Code code(image, bytes);
  uint32_t covered = 0;  // the end of the last record: functions that overlap give none twice
  std::vector<X86FrameRow> rows;
  std::vector<std::string> programs;
  for (const auto& [begin, end] : functions) {
    // The function's instructions with their frames: the table's, else
    // (an instruction its paths disagree on, or a function the table cannot
    // follow at all, read one instruction after the other) the frame read
    // forward from there, at a call from its return address, as a walk
    // reads it there.
    const X86FrameTable& table = code.Function(begin, end);
    rows = table.rows;
    if (rows.empty()) {
      const std::string_view body = PeBytesAt(image, bytes, begin, end - begin);
      for (size_t at = 0; at < body.size();) {
        const std::optional<X86Instruction> insn = DecodeX86(body, at);
        if (!insn) break;
        rows.push_back({static_cast<uint32_t>(begin + at), insn->length, std::nullopt});
        at += insn->length;
      }
    }
    for (X86FrameRow& row : rows) {
      if (row.frame) continue;
      const std::string_view at = PeBytesAt(image, bytes, row.rva, row.length);
      const std::optional<X86Instruction> insn = DecodeX86(at, 0);
      const bool call = insn && insn->map == 1 && !insn->vex &&
                        (insn->opcode == 0xE8 || (insn->opcode == 0xFF && (insn->Reg() == 2 || insn->Reg() == 3)));
      row.frame = call ? code.Forward(row.rva + row.length, true, end) : code.Forward(row.rva, false, end);
    }
    programs.clear();
    for (const X86FrameRow& row : rows) programs.push_back(row.frame ? X86FrameProgram(*row.frame) : std::string());
    for (size_t i = 0; i < rows.size();) {
      size_t j = i + 1;
      // The instructions that follow one another with the same program.
      while (!programs[i].empty() && j < rows.size() && programs[j] == programs[i] &&
             rows[j].rva == rows[j - 1].rva + rows[j - 1].length)
        ++j;
      const uint32_t stretchEnd = rows[j - 1].rva + rows[j - 1].length;
      // A stretch that starts inside the last record (a jump into the middle
      // of an instruction, or functions that overlap) from its first
      // instruction past it.
      size_t from = i;
      while (from < j && rows[from].rva < covered) ++from;
      if (!programs[i].empty() && from < j) {
        records.push_back({rows[from].rva, stretchEnd - rows[from].rva, rows[from].rva == begin, std::move(programs[i])});
        covered = stretchEnd;
      }
      i = j;
    }
  }
  return records;
}

std::string PdbFrameDataStream(const std::vector<PdbFrameRecord>& records, PdbStringTable& names) {
  std::string out;
  LeWriter w(out);
  w.Room(records.size() * pdb::FrameData::kSize);
  for (const PdbFrameRecord& r : records) {
    pdb::FrameData data;
    data.rvaStart = r.rva;
    data.codeSize = r.size;
    data.frameFunc = names.Add(r.program);
    data.flags = r.functionStart ? pdb::FrameData::kFunctionStart : 0;
    data.Put(w);
  }
  return out;
}

}  // namespace qf
