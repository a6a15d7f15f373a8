#include "image/CallInstruction.h"

#include <algorithm>

#include "image/X86Length.h"

namespace qf {
namespace {

// The instruction of `length` bytes, without prefixes, that ends `before`.
std::optional<X86Instruction> EndingWith(std::string_view before, unsigned length) {
  if (length > before.size()) return std::nullopt;
  const std::optional<X86Instruction> i = DecodeX86(before, before.size() - length);
  if (!i || i->length != length || i->prefixes != 0 || i->vex || i->map != 1) return std::nullopt;
  return i;
}

}  // namespace

std::optional<CallBefore> CallEndingAt(std::string_view before, uint32_t rva) {
  if (const auto call = EndingWith(before, 5); call && call->opcode == 0xE8) return CallBefore{5, rva + call->imm};
  for (unsigned length = 2; length <= 7; ++length) {
    const auto call = EndingWith(before, length);
    if (call && call->opcode == 0xFF && call->Reg() == 2) return CallBefore{length, std::nullopt};
  }
  return std::nullopt;
}

std::optional<CallBefore> CallBeforeRva(const PeImage& image, std::string_view bytes, uint32_t rva) {
  const PeSection* section = image.SectionAt(rva - 1);
  if (rva == 0 || !section || !section->IsCode()) return std::nullopt;
  // Only bytes of the same section: a call never spans two.
  const uint32_t take = std::min<uint32_t>(7, rva - section->virtualAddress);
  const std::string_view before = PeBytesAt(image, bytes, rva - take, take);
  if (before.size() != take) return std::nullopt;
  return CallEndingAt(before, rva);
}

namespace {

// The slot of `FF /op [disp32]` at code[at], as an RVA.
std::optional<uint32_t> SlotOf(const PeImage& image, std::string_view code, size_t at, uint8_t op) {
  const std::optional<X86Instruction> i = DecodeX86(code, at);
  if (!i || i->opcode != 0xFF || i->map != 1 || i->Reg() != op || i->Mod() != 0 || i->Rm() != 5) return std::nullopt;
  return uint32_t(i->disp) - uint32_t(image.imageBase);
}

// The module whose import address table holds the slot: the import
// directory's descriptors (20 bytes each, to one of zeros), each with its
// module's name (at 12) and its table (at 16, entries to a zero one).
std::optional<std::string> ImportingFrom(const PeImage& image, std::string_view bytes, uint32_t slot) {
  const PeDataDirectory dir = image.Directory(1);
  for (uint32_t d = dir.rva; dir.rva != 0 && d + 20 <= dir.rva + dir.size; d += 20) {
    const LeBytes desc(PeBytesAt(image, bytes, d, 20));
    const std::optional<uint32_t> name = desc.U32(12), table = desc.U32(16);
    if (!name || !table || *table == 0) break;
    for (uint32_t k = 0; k < 4096; ++k) {
      const std::optional<uint32_t> entry = LeBytes(PeBytesAt(image, bytes, *table + 4 * k, 4)).U32(0);
      if (!entry || *entry == 0) break;
      if (*table + 4 * k != slot) continue;
      const std::string_view text = PeBytesAt(image, bytes, *name, 260);
      return std::string(text.substr(0, text.find('\0')));
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> ImportCalledBefore(const PeImage& image, std::string_view bytes, uint32_t rva) {
  const std::optional<CallBefore> call = CallBeforeRva(image, bytes, rva);
  if (!call) return std::nullopt;
  const PeSection* section = image.SectionAt(rva - 1);
  std::optional<uint32_t> slot;
  if (!call->target) {
    const std::string_view code = PeBytesAt(image, bytes, section->virtualAddress, section->Span());
    slot = SlotOf(image, code, rva - call->length - section->virtualAddress, 2);
  } else if (const PeSection* to = image.SectionAt(*call->target); to && to->IsCode()) {
    const std::string_view thunk = PeBytesAt(image, bytes, to->virtualAddress, to->Span());
    slot = SlotOf(image, thunk, *call->target - to->virtualAddress, 4);
  }
  if (!slot) return std::nullopt;
  return ImportingFrom(image, bytes, *slot);
}

}  // namespace qf
