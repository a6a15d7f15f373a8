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
  // $T0: the return address's slot; the caller's ESP lies just past it.
  std::string program;
  if (!f.indirect) {
    // Through EBP where the frame keeps it: a callee's pops the analysis
    // counts wrong do not move it.
    const bool byEbp = f.slotByEbp.base == X86Value::Ebp;
    program = "$T0 " + At(byEbp ? f.slotByEbp : f.slot) + " =";
  } else {
    program = "$T1 " + At(f.slot) + " ^ = $T0 $T1";
    if (f.indirectOffset != 0)
      program += ' ' + std::to_string(f.indirectOffset < 0 ? -int64_t{f.indirectOffset} : f.indirectOffset) +
                 (f.indirectOffset < 0 ? " -" : " +");
    program += " =";
  }
  // The caller's EIP, ESP and EBP first, then EBX, ESI and EDI from their
  // slots' addresses kept in $T2 to $T4 before any register changes: the
  // registers dbghelp itself restores come before any other read (under
  // Wine, an assignment after a failed or odd read of a saved register's
  // slot is lost; the three it walks by must not be).
  static const char* const kNames[8] = {"$eax", "$ecx", "$edx", "$ebx", "$esp", "$ebp", "$esi", "$edi"};
  std::string others;
  int temp = 2;
  for (const uint8_t r : {kEbx, kEsi, kEdi}) {
    const X86Value& saved = f.saved[r];
    if (!Named(saved)) continue;
    const std::string name = "$T" + std::to_string(temp++);
    program += ' ' + name + ' ' + At(saved) + " =";
    others += std::string(" ") + kNames[r] + ' ' + name + " ^ =";
  }
  const bool ebp = Named(f.saved[kEbp]);
  if (ebp) program += " $T1 " + At(f.saved[kEbp]) + " ^ =";
  program += " $eip $T0 ^ = $esp $T0 4 + =";
  if (ebp) program += " $ebp $T1 =";
  return program + others;
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
    // follow at all, read one instruction after the other) at a call the
    // frame read forward from its return address, as a walk reads it there.
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
      if (call) row.frame = code.Forward(row.rva + row.length, true, end);
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
      if (!programs[i].empty() && rows[i].rva >= covered) {
        records.push_back({rows[i].rva, stretchEnd - rows[i].rva, rows[i].rva == begin, std::move(programs[i])});
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
