// The x64 unwind tables of an image: the exception directory (.pdata, an
// array of RUNTIME_FUNCTION entries sorted by their start) and the
// UNWIND_INFO records they point to (.xdata), decoded into one form that
// serves both the stack walk (UnwindX64 below) and a writer of call-frame
// rules; and one step of the x64 unwind: the caller's registers from a
// frame's. Every read of the image and of memory is checked.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "image/PeImage.h"

namespace qf {

// The general registers in the numbering of the unwind codes.
enum X64Register : uint8_t {
  kRax = 0, kRcx, kRdx, kRbx, kRsp, kRbp, kRsi, kRdi,
  kR8, kR9, kR10, kR11, kR12, kR13, kR14, kR15
};

enum class UnwindOp : uint8_t {
  PushNonvol = 0,     // push reg: reg saved at [RSP], RSP -= 8
  AllocLarge = 1,     // sub rsp, size (size < 512 KB - 8, or any 32-bit size)
  AllocSmall = 2,     // sub rsp, 8..128
  SetFpreg = 3,       // lea frameRegister, [rsp + frameOffset]
  SaveNonvol = 4,     // mov [rsp + offset], reg (offset scaled by 8 in the table)
  SaveNonvolFar = 5,  // the same with an unscaled 32-bit offset
  Epilog = 6,         // version 2: describes an epilog; no effect on unwinding
  SpareCode = 7,      // reserved; no effect
  SaveXmm128 = 8,     // movaps [rsp + offset], xmmN (offset scaled by 16)
  SaveXmm128Far = 9,  // the same with an unscaled 32-bit offset
  PushMachframe = 10  // a machine frame (interrupt or exception) was pushed
};

// One unwind code, decoded. The table holds them with the prolog's last
// instruction first; undoing them in that order undoes the prolog.
struct UnwindCode {
  uint8_t prologOffset = 0;  // offset from the function's start of the end of its instruction
  UnwindOp op = UnwindOp::SpareCode;
  // PushNonvol, SaveNonvol(Far): the general register (X64Register);
  // SaveXmm128(Far): the XMM register number; PushMachframe: 1 when an
  // error code was pushed too, else 0; others: the raw operation info.
  uint8_t reg = 0;
  // AllocLarge / AllocSmall: the bytes allocated; SaveNonvol(Far) /
  // SaveXmm128(Far): the offset in bytes of the save slot from the frame's
  // base (RSP after the prolog, or the frame register minus frameOffset when
  // there is one); others 0.
  uint32_t value = 0;
};

// One RUNTIME_FUNCTION entry and its UNWIND_INFO.
struct UnwindEntry {
  uint32_t begin = 0;          // RVA of the function's first byte
  uint32_t end = 0;            // RVA one past its last byte
  uint32_t infoRva = 0;        // RVA of the UNWIND_INFO
  uint8_t version = 0;         // 1, or 2 (with epilog codes)
  uint8_t flags = 0;           // UNW_FLAG_EHANDLER 1, UHANDLER 2, CHAININFO 4
  uint8_t prologSize = 0;      // bytes
  uint8_t frameRegister = 0;   // X64Register of the frame pointer; 0: none
  uint32_t frameOffset = 0;    // bytes: frameRegister = RSP + frameOffset after SetFpreg
  std::vector<UnwindCode> codes;

  static constexpr uint8_t kChainInfo = 4;
  bool Contains(uint32_t rva) const { return rva >= begin && rva < end; }
};

// A function's unwind entry and those it chains to (UNW_FLAG_CHAININFO):
// the codes of chain[0] apply after those of the function, and so on.
struct UnwindFunction {
  UnwindEntry entry;
  std::vector<UnwindEntry> chain;
};

// The exception directory of an image, read in place: the bytes must outlive it.
class UnwindTable {
 public:
  UnwindTable() = default;
  UnwindTable(const PeImage& image, std::string_view bytes);

  // The number of RUNTIME_FUNCTION entries the directory holds.
  size_t Size() const { return entries_.size() / kEntrySize; }
  // The function whose entry covers the RVA (a binary search), with its
  // chain; none when no entry covers it (a leaf function) or when its
  // UNWIND_INFO cannot be read.
  std::optional<UnwindFunction> FunctionAt(uint32_t rva) const;
  // Whether some entry covers the RVA (even when its UNWIND_INFO is damaged).
  bool Covers(uint32_t rva) const;
  // The unwind entry of the RUNTIME_FUNCTION at index i (for writers that
  // go through every function); none when it cannot be read.
  std::optional<UnwindEntry> EntryAt(size_t i) const;

  static constexpr uint32_t kEntrySize = 12;
  static constexpr unsigned kMaxChain = 32;

 private:
  std::optional<UnwindEntry> ReadEntry(uint32_t begin, uint32_t end, uint32_t unwindData, unsigned depth) const;
  std::optional<size_t> IndexAt(uint32_t rva) const;

  const PeImage* image_ = nullptr;
  std::string_view bytes_;
  std::string_view entries_;
};

// The general registers of a frame and its instruction pointer.
struct X64Context {
  std::array<uint64_t, 16> r{};  // by X64Register
  uint64_t rip = 0;
};

// Reads 8 bytes of the process's memory at an address; none where the dump holds none.
using ReadMemory64 = std::function<std::optional<uint64_t>(uint64_t address)>;

// One step of the x64 unwind in a module loaded at `base` with the unwind
// table given: the caller's context, in which RIP is the return address and
// RSP the stack pointer after the return, and the non-volatile registers the
// frame saved are restored. `callerFrame`: the context is that of a caller
// (RIP a return address), so the function is looked up at RIP - 1 and RIP is
// not taken for an epilog; otherwise (the frame that was interrupted) an RIP
// inside an epilog is unwound by simulating the rest of the epilog. A
// function without an entry is a leaf: its return address is at RSP. None
// when a needed read fails (or the function's entry cannot be read). The
// image and its bytes give the code for the epilog check.
struct UnwindStep {
  X64Context context;
  uint64_t returnSlot = 0;  // where the return address was read
  bool leaf = false;        // no entry covered the function
  bool epilog = false;      // unwound by simulating an epilog
};
std::optional<UnwindStep> UnwindX64(const UnwindTable& table, const PeImage& image, std::string_view imageBytes,
                                    uint64_t base, const X64Context& context, bool callerFrame,
                                    const ReadMemory64& read);

}  // namespace qf
