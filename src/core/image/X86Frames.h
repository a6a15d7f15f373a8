// Where an x86 function keeps its return address and the registers it must
// preserve, read from its code without any unwind table: the stack height
// (the bytes from ESP up to the return-address slot) and the save slots of
// EBX, EBP, ESI and EDI, followed along every path from the function's
// start through pushes, pops, ESP arithmetic, frame-pointer set-up and
// take-down, calls (with what the callee pops) and branches inside the
// function; and, where the start is not known, read forward from an
// instruction to the function's return, as x64 unwinders read epilogs.
// Whatever cannot be followed is said to be unknown, never guessed.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "image/PeImage.h"

namespace qf {

// Register numbers as ModRM numbers them.
enum X86Reg : uint8_t { kEax, kEcx, kEdx, kEbx, kEsp, kEbp, kEsi, kEdi };

// A value relative to a base known only symbolically: the stack pointer or
// the frame pointer at a reference instruction (for a function's table, the
// stack pointer at its entry, which is where the return address lies).
struct X86Value {
  // Aligned: the stack pointer just after the function realigned it
  // (`and esp,-N`), which no other base reaches.
  enum Base : uint8_t { Unknown, Esp, Ebp, None, Aligned };
  Base base = Unknown;
  int32_t offset = 0;
  bool Known() const { return base == Esp || base == Ebp || base == Aligned; }
  bool operator==(const X86Value& o) const { return base == o.base && (!Known() || offset == o.offset); }
  bool operator!=(const X86Value& o) const { return !(*this == o); }
};

// What a frame at one instruction tells about its caller: the
// return-address slot is the register `base` (ESP or EBP at that
// instruction) plus slotOffset; a callee-saved register (EBX, EBP, ESI,
// EDI) was saved at that register plus its offset (saved), holds the
// caller's value still (passes), or is lost. In a frame whose stack was
// realigned, the slot is reached through a pointer the function saved
// (indirect: `slot` is where that pointer lies, the return address at the
// pointer plus indirectOffset).
struct X86Frame {
  X86Value slot;
  X86Value slotByEbp;  // the same slot through EBP too, where that is known (else Unknown)
  std::array<X86Value, 8> saved{};    // Esp/Ebp base: saved there; None: passes; Unknown: lost
  bool indirect = false;
  int32_t indirectOffset = 0;
  bool operator==(const X86Frame& o) const {
    return slot == o.slot && saved == o.saved && indirect == o.indirect && indirectOffset == o.indirectOffset;
  }
  // Whether another reading gives the same slot (through either register);
  // where one knows it through ESP and the other through EBP only (paths
  // that leave ESP at different heights, as a Delphi constructor's do), the
  // same distance above where each says the caller's EBP was saved.
  bool SameSlot(const X86Frame& o) const {
    if (indirect || o.indirect) return indirect == o.indirect && slot == o.slot && indirectOffset == o.indirectOffset;
    if (slot == o.slot || (slotByEbp.Known() && (slotByEbp == o.slot || slotByEbp == o.slotByEbp)) ||
        (o.slotByEbp.Known() && o.slotByEbp == slot))
      return true;
    const X86Value& e = saved[kEbp];
    const X86Value& oe = o.saved[kEbp];
    return slot.Known() && o.slot.Known() && slot.base != o.slot.base && e.base == slot.base &&
           oe.base == o.slot.base && slot.offset - e.offset == o.slot.offset - oe.offset;
  }
};

// The frame of a function at each instruction its paths reach from its
// start, in address order; an instruction no path reaches, or whose height
// the paths disagree on, has no answer.
struct X86FrameRow {
  uint32_t rva = 0;
  uint8_t length = 0;
  std::optional<X86Frame> frame;  // none: unknown there
};

// An instruction where the paths leave ESP at two heights (a Delphi
// constructor's: the exception frame @ClassCreate builds in 16 bytes exists
// only where it allocates the object): its row has no frame; this is the
// frame at the higher, and how much lower the other lies (there every
// ESP-relative offset is that much larger). The walk tells them apart by
// the stack.
struct X86EitherFrame {
  uint32_t rva = 0;
  X86Frame higher;
  int32_t below = 0;
};

struct X86FrameTable {
  uint32_t begin = 0, end = 0;
  std::vector<X86FrameRow> rows;
  std::vector<X86EitherFrame> either;  // in address order
  // The row of the instruction that starts at rva, or ends at it (the call
  // before a return address); null where no reached instruction does.
  const X86FrameRow* At(uint32_t rva) const;
  const X86FrameRow* EndingAt(uint32_t rva) const;
};

// The analysis of one image, with what it learnt about functions and
// callees kept for the next question. Not for use by two threads at once.
class X86Code {
 public:
  X86Code(const PeImage& image, std::string_view bytes);
  ~X86Code();
  X86Code(const X86Code&) = delete;
  X86Code& operator=(const X86Code&) = delete;

  // The function [begin, end) analysed from begin (an empty table when its
  // code cannot be read or a return is reached at a wrong height).
  const X86FrameTable& Function(uint32_t begin, uint32_t end);
  // The frame at rva read forward to the function's return (callerFrame:
  // rva is a return address, the frame that of the call before it).
  // end: where the function ends, if known (the read does not run past it
  // but by a jump).
  std::optional<X86Frame> Forward(uint32_t rva, bool callerFrame, std::optional<uint32_t> end = std::nullopt);
  // The frame at rva: the function's table where begin/end are given and it
  // answers there (checked against the forward read where both answer),
  // else the forward read. callerFrame as above.
  std::optional<X86Frame> FrameAt(uint32_t rva, bool callerFrame, std::optional<std::pair<uint32_t, uint32_t>> function);
  // Where FrameAt does not know because the paths leave two heights there:
  // those (X86EitherFrame), unless the forward read finds a frame that is
  // neither; with the forward read's frame alone where it is one of them.
  std::optional<X86EitherFrame> EitherAt(uint32_t rva, bool callerFrame, std::pair<uint32_t, uint32_t> function);
  // The bytes of its stack arguments a function pops (its `ret n`), read
  // forward from its entry; none when no return is found.
  std::optional<uint16_t> CalleePops(uint32_t entry);

  struct Impl;

 private:
  std::optional<X86Frame> ForwardRead(uint32_t rva, bool callerFrame, std::optional<uint32_t> end);
  std::optional<X86Frame> FrameRead(uint32_t rva, bool callerFrame, std::optional<std::pair<uint32_t, uint32_t>> function);
  std::unique_ptr<Impl> impl_;
};

}  // namespace qf
