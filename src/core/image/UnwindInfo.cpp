// UNWIND_INFO: a 4-byte header (version and flags, prolog size, count of
// code slots, frame register and scaled offset), the code slots (2 bytes
// each: prolog offset, operation and its info; some operations take one or
// two more slots for their operand), padding to an even count, then for a
// chained entry the RUNTIME_FUNCTION of the entry it continues.
#include "image/UnwindInfo.h"

#include <algorithm>

namespace qf {
namespace {

constexpr uint32_t kInfoHeaderSize = 4;
constexpr uint64_t kEpilogBytes = 64;  // the longest epilog read

// The operand slots an operation takes after its own.
unsigned ExtraSlots(UnwindOp op, uint8_t info) {
  switch (op) {
    case UnwindOp::AllocLarge: return info == 0 ? 1 : 2;
    case UnwindOp::SaveNonvol:
    case UnwindOp::SaveXmm128: return 1;
    case UnwindOp::SaveNonvolFar:
    case UnwindOp::SaveXmm128Far: return 2;
    default: return 0;
  }
}

}  // namespace

UnwindTable::UnwindTable(const PeImage& image, std::string_view bytes) : image_(&image), bytes_(bytes) {
  const PeDataDirectory directory = image.Directory(PeImage::kExceptionDirectory);
  if (directory.rva == 0 || directory.size == 0) return;
  entries_ = PeBytesAt(image, bytes, directory.rva, directory.size);
  entries_ = entries_.substr(0, entries_.size() - entries_.size() % kEntrySize);
}

std::optional<size_t> UnwindTable::IndexAt(uint32_t rva) const {
  const LeBytes table(entries_);
  // The last entry that begins at or below the RVA.
  size_t low = 0, high = Size();
  while (low < high) {
    const size_t middle = low + (high - low) / 2;
    if (*table.U32(middle * kEntrySize) <= rva) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  if (low == 0) return std::nullopt;
  const size_t i = low - 1;
  if (rva >= *table.U32(i * kEntrySize + 4)) return std::nullopt;
  return i;
}

bool UnwindTable::Covers(uint32_t rva) const { return IndexAt(rva).has_value(); }

std::optional<UnwindEntry> UnwindTable::EntryAt(size_t i) const {
  if (i >= Size()) return std::nullopt;
  const LeBytes table(entries_);
  const uint64_t at = uint64_t(i) * kEntrySize;
  return ReadEntry(*table.U32(at), *table.U32(at + 4), *table.U32(at + 8), 0);
}

std::optional<UnwindFunction> UnwindTable::FunctionAt(uint32_t rva) const {
  const std::optional<size_t> i = IndexAt(rva);
  if (!i) return std::nullopt;
  std::optional<UnwindEntry> entry = EntryAt(*i);
  if (!entry) return std::nullopt;
  UnwindFunction function;
  function.entry = std::move(*entry);
  // A chained entry names the RUNTIME_FUNCTION it continues after its codes.
  const UnwindEntry* last = &function.entry;
  while (last->flags & UnwindEntry::kChainInfo) {
    if (function.chain.size() >= kMaxChain) return std::nullopt;
    const std::string_view header = PeBytesAt(*image_, bytes_, last->infoRva, kInfoHeaderSize);
    if (header.size() < kInfoHeaderSize) return std::nullopt;
    const uint32_t count = static_cast<uint8_t>(header[2]);
    const uint64_t parentAt = uint64_t(last->infoRva) + kInfoHeaderSize + 2 * uint64_t((count + 1) & ~1u);
    if (parentAt > UINT32_MAX) return std::nullopt;
    const std::string_view parent = PeBytesAt(*image_, bytes_, uint32_t(parentAt), kEntrySize);
    if (parent.size() < kEntrySize) return std::nullopt;
    const LeBytes p(parent);
    std::optional<UnwindEntry> next = ReadEntry(*p.U32(0), *p.U32(4), *p.U32(8), 1);
    if (!next) return std::nullopt;
    function.chain.push_back(std::move(*next));
    last = &function.chain.back();
  }
  return function;
}

std::optional<UnwindEntry> UnwindTable::ReadEntry(uint32_t begin, uint32_t end, uint32_t unwindData,
                                                  unsigned depth) const {
  if (!image_ || begin >= end) return std::nullopt;
  // UnwindData with its lowest bit set names another RUNTIME_FUNCTION whose
  // unwind data this function shares.
  if (unwindData & 1) {
    if (depth >= kMaxChain) return std::nullopt;
    const std::string_view other = PeBytesAt(*image_, bytes_, unwindData & ~1u, kEntrySize);
    if (other.size() < kEntrySize) return std::nullopt;
    std::optional<UnwindEntry> shared = ReadEntry(begin, end, *LeBytes(other).U32(8), depth + 1);
    return shared;
  }
  const std::string_view header = PeBytesAt(*image_, bytes_, unwindData, kInfoHeaderSize);
  if (header.size() < kInfoHeaderSize) return std::nullopt;
  UnwindEntry entry;
  entry.begin = begin;
  entry.end = end;
  entry.infoRva = unwindData;
  entry.version = static_cast<uint8_t>(header[0]) & 7;
  entry.flags = static_cast<uint8_t>(header[0]) >> 3;
  entry.prologSize = static_cast<uint8_t>(header[1]);
  const unsigned count = static_cast<uint8_t>(header[2]);
  entry.frameRegister = static_cast<uint8_t>(header[3]) & 15;
  entry.frameOffset = uint32_t(static_cast<uint8_t>(header[3]) >> 4) * 16;
  if (entry.version != 1 && entry.version != 2) return std::nullopt;

  const std::string_view slotBytes = PeBytesAt(*image_, bytes_, unwindData + kInfoHeaderSize, 2 * uint64_t(count));
  if (slotBytes.size() < 2 * uint64_t(count)) return std::nullopt;
  const LeBytes slots(slotBytes);
  for (unsigned i = 0; i < count;) {
    UnwindCode code;
    code.prologOffset = static_cast<uint8_t>(slotBytes[2 * i]);
    const uint8_t opAndInfo = static_cast<uint8_t>(slotBytes[2 * i + 1]);
    const uint8_t op = opAndInfo & 15, info = opAndInfo >> 4;
    if (op > uint8_t(UnwindOp::PushMachframe)) return std::nullopt;
    code.op = UnwindOp(op);
    code.reg = info;
    const unsigned extra = ExtraSlots(code.op, info);
    if (i + 1 + extra > count) return std::nullopt;
    const uint32_t operand16 = extra >= 1 ? *slots.U16(2 * (i + 1)) : 0;
    const uint32_t operand32 = extra >= 2 ? *slots.U32(2 * (i + 1)) : 0;
    switch (code.op) {
      case UnwindOp::AllocLarge: code.value = info == 0 ? operand16 * 8 : operand32; break;
      case UnwindOp::AllocSmall: code.value = uint32_t(info) * 8 + 8; break;
      case UnwindOp::SaveNonvol: code.value = operand16 * 8; break;
      case UnwindOp::SaveXmm128: code.value = operand16 * 16; break;
      case UnwindOp::SaveNonvolFar:
      case UnwindOp::SaveXmm128Far: code.value = operand32; break;
      case UnwindOp::PushMachframe:
        if (info > 1) return std::nullopt;
        break;
      case UnwindOp::SetFpreg:
        if (entry.frameRegister == 0) return std::nullopt;
        break;
      default: break;
    }
    entry.codes.push_back(code);
    i += 1 + extra;
  }
  return entry;
}

namespace {

// Undoes the codes of an entry whose prolog ran up to `offset` bytes from
// its start (all of it when offset is at or past the prolog's end).
// `machineFrame` is set when a PushMachframe gave RIP and RSP.
bool UndoCodes(const UnwindEntry& entry, uint64_t offset, X64Context& context, const ReadMemory64& read,
               bool& machineFrame, uint64_t& returnSlot) {
  const bool inProlog = offset < entry.prologSize;
  auto counts = [&](const UnwindCode& code) { return !inProlog || code.prologOffset <= offset; };
  uint64_t frame = context.r[kRsp];
  if (entry.frameRegister != 0)
    for (const UnwindCode& code : entry.codes)
      if (code.op == UnwindOp::SetFpreg && counts(code)) frame = context.r[entry.frameRegister] - entry.frameOffset;
  for (const UnwindCode& code : entry.codes) {
    if (!counts(code)) continue;
    uint64_t& rsp = context.r[kRsp];
    switch (code.op) {
      case UnwindOp::PushNonvol: {
        const std::optional<uint64_t> value = read(rsp);
        if (!value) return false;
        context.r[code.reg] = *value;
        rsp += 8;
        break;
      }
      case UnwindOp::AllocLarge:
      case UnwindOp::AllocSmall: rsp += code.value; break;
      case UnwindOp::SetFpreg: rsp = context.r[entry.frameRegister] - entry.frameOffset; break;
      case UnwindOp::SaveNonvol:
      case UnwindOp::SaveNonvolFar: {
        const std::optional<uint64_t> value = read(frame + code.value);
        if (!value) return false;
        context.r[code.reg] = *value;
        break;
      }
      case UnwindOp::PushMachframe: {
        // RIP, CS, EFLAGS, RSP, SS above an optional error code.
        const uint64_t at = rsp + (code.reg ? 8 : 0);
        const std::optional<uint64_t> rip = read(at), newRsp = read(at + 24);
        if (!rip || !newRsp) return false;
        context.rip = *rip;
        returnSlot = at;
        rsp = *newRsp;
        machineFrame = true;
        break;
      }
      default: break;  // XMM saves, epilog descriptions: nothing a walk needs
    }
  }
  return true;
}

// Reads an epilog at the instruction pointer: `add rsp, imm` or `lea rsp,
// [frame register + disp]`, then pops, then `ret` or a `jmp` out of the
// function. Simulates it on the context; false when the bytes there are no
// epilog.
bool SimulateEpilog(const UnwindEntry& entry, std::string_view code, uint32_t rva, X64Context& context,
                    const ReadMemory64& read, bool& failed) {
  const LeBytes bytes(code);
  auto at = [&](uint64_t i) { return bytes.U8(i).value_or(0); };
  uint64_t i = 0;
  X64Context next = context;
  if (at(0) == 0x48 && at(1) == 0x83 && at(2) == 0xC4 && bytes.Has(0, 4)) {
    next.r[kRsp] += static_cast<int8_t>(at(3));
    i = 4;
  } else if (at(0) == 0x48 && at(1) == 0x81 && at(2) == 0xC4 && bytes.Has(0, 7)) {
    next.r[kRsp] += static_cast<int32_t>(*bytes.U32(3));
    i = 7;
  } else if ((at(0) & 0xFE) == 0x48 && at(1) == 0x8D && entry.frameRegister != 0) {
    // lea rsp, [reg + disp8 / disp32]: ModRM with reg = RSP, mod 1 or 2.
    const uint8_t modrm = at(2), mod = modrm >> 6;
    const uint8_t rm = uint8_t((modrm & 7) | (at(0) & 1) << 3);
    if ((modrm >> 3 & 7) != kRsp || (mod != 1 && mod != 2) || rm != entry.frameRegister) return false;
    uint64_t p = 3;
    if ((modrm & 7) == 4) {
      if (at(3) != 0x24) return false;  // SIB: base only
      p = 4;
    }
    const unsigned size = mod == 1 ? 1 : 4;
    if (!bytes.Has(p, size)) return false;
    const int64_t disp = mod == 1 ? int64_t(static_cast<int8_t>(at(p))) : int64_t(static_cast<int32_t>(*bytes.U32(p)));
    next.r[kRsp] = context.r[rm] + uint64_t(disp);
    i = p + size;
  }
  std::vector<uint8_t> pops;
  for (;;) {
    if (at(i) >= 0x58 && at(i) <= 0x5F && bytes.Has(i, 1)) {
      pops.push_back(uint8_t(at(i) - 0x58));
      i += 1;
    } else if (at(i) == 0x41 && at(i + 1) >= 0x58 && at(i + 1) <= 0x5F && bytes.Has(i, 2)) {
      pops.push_back(uint8_t(at(i + 1) - 0x58 + 8));
      i += 2;
    } else {
      break;
    }
  }
  bool ends = false;
  if (at(i) == 0xC3 && bytes.Has(i, 1)) {
    ends = true;
  } else if (at(i) == 0xF3 && at(i + 1) == 0xC3 && bytes.Has(i, 2)) {
    ends = true;
  } else if (at(i) == 0xC2 && bytes.Has(i, 3)) {
    ends = true;
  } else if (at(i) == 0xE9 && bytes.Has(i, 5)) {
    const int64_t target = int64_t(rva) + int64_t(i) + 5 + static_cast<int32_t>(*bytes.U32(i + 1));
    ends = target < int64_t(entry.begin) || target >= int64_t(entry.end);
  } else if (at(i) == 0xEB && bytes.Has(i, 2)) {
    const int64_t target = int64_t(rva) + int64_t(i) + 2 + static_cast<int8_t>(at(i + 1));
    ends = target < int64_t(entry.begin) || target >= int64_t(entry.end);
  } else if (at(i) == 0xFF && at(i + 1) == 0x25 && bytes.Has(i, 6)) {
    ends = true;
  } else if (at(i) == 0x48 && at(i + 1) == 0xFF && at(i + 2) == 0x25 && bytes.Has(i, 7)) {
    ends = true;
  }
  if (!ends) return false;
  for (uint8_t reg : pops) {
    const std::optional<uint64_t> value = read(next.r[kRsp]);
    if (!value) {
      failed = true;
      return true;
    }
    next.r[reg] = *value;
    next.r[kRsp] += 8;
  }
  context = next;
  return true;
}

}  // namespace

std::optional<UnwindStep> UnwindX64(const UnwindTable& table, const PeImage& image, std::string_view imageBytes,
                                    uint64_t base, const X64Context& context, bool callerFrame,
                                    const ReadMemory64& read) {
  UnwindStep step;
  step.context = context;
  X64Context& next = step.context;
  const uint64_t lookup = callerFrame ? context.rip - 1 : context.rip;
  std::optional<UnwindFunction> function;
  if (lookup >= base && lookup - base <= UINT32_MAX) {
    const uint32_t rva = uint32_t(lookup - base);
    function = table.FunctionAt(rva);
    if (!function && table.Covers(rva)) return std::nullopt;  // an entry, but unreadable
  }
  bool machineFrame = false;
  if (!function) {
    step.leaf = true;
  } else {
    const uint32_t rva = uint32_t(lookup - base);
    const UnwindEntry& entry = function->entry;
    const uint64_t offset = rva - entry.begin;
    bool done = false;
    if (!callerFrame && offset >= entry.prologSize) {
      const uint64_t room = std::min<uint64_t>(kEpilogBytes, entry.end - rva);
      bool failed = false;
      if (SimulateEpilog(entry, PeBytesAt(image, imageBytes, rva, room), rva, next, read, failed)) {
        if (failed) return std::nullopt;
        step.epilog = done = true;
      }
    }
    if (!done) {
      if (!UndoCodes(entry, offset, next, read, machineFrame, step.returnSlot)) return std::nullopt;
      for (const UnwindEntry& parent : function->chain) {
        if (machineFrame) break;
        const uint64_t parentOffset = rva >= parent.begin ? rva - parent.begin : UINT64_MAX;
        if (!UndoCodes(parent, parentOffset, next, read, machineFrame, step.returnSlot)) return std::nullopt;
      }
    }
  }
  if (!machineFrame) {
    const std::optional<uint64_t> returnAddress = read(next.r[kRsp]);
    if (!returnAddress) return std::nullopt;
    step.returnSlot = next.r[kRsp];
    next.rip = *returnAddress;
    next.r[kRsp] += 8;
  }
  return step;
}

}  // namespace qf
