// The program strings of the PDB's frame data, one per kind of analysed frame.
#include <gtest/gtest.h>

#include "export/PdbFrameData.h"
#include "image/X86Frames.h"

namespace qf {
namespace {

X86Frame Frame(X86Value slot, X86Value ebpSaved = {}, X86Value slotByEbp = {}) {
  X86Frame f;
  f.slot = slot;
  f.slotByEbp = slotByEbp;
  f.saved[kEbp] = ebpSaved;
  return f;
}

TEST(PdbFrameData, ProgramOfEachKindOfFrame) {
  X86Frame realigned = Frame({X86Value::Ebp, -4});
  realigned.indirect = true;
  realigned.indirectOffset = 4;
  const struct {
    X86Frame frame;
    const char* program;
  } rows[] = {
      {Frame({X86Value::Esp, 0}), "$T0 $esp = $eip $T0 ^ = $esp $T0 4 + ="},  // at a function's entry
      {Frame({X86Value::Esp, 8}, {X86Value::None, 0}), "$T0 $esp 8 + = $eip $T0 ^ = $esp $T0 4 + ="},
      {Frame({X86Value::Esp, 12}, {X86Value::Esp, 8}),
       "$T0 $esp 12 + = $T5 $esp 8 + ^ = $eip $T0 ^ = $esp $T0 4 + = $ebp $T5 ="},
      // A frame pointer: the slot and the saved EBP through it.
      {Frame({X86Value::Esp, 40}, {X86Value::Esp, 36}, {X86Value::Ebp, 4}),
       "$T0 $ebp 4 + = $T5 $ebp ^ = $eip $T0 ^ = $esp $T0 4 + = $ebp $T5 ="},
      {Frame({X86Value::Ebp, -8}), "$T0 $ebp 8 - = $eip $T0 ^ = $esp $T0 4 + ="},
      {realigned, "$T6 $ebp 4 - ^ = $T0 $T6 4 + = $eip $T0 ^ = $esp $T0 4 + ="},
      {Frame({X86Value::Aligned, 0}), ""},  // no register reaches it
  };
  for (const auto& row : rows) EXPECT_EQ(X86FrameProgram(row.frame), row.program);
}

}  // namespace
}  // namespace qf
