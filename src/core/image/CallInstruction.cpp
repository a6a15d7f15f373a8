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

// Whether `FF /op [disp32]` starts at code[at] with its slot in the image's
// table of imports.
bool ThroughImportSlot(const PeImage& image, std::string_view code, size_t at, uint8_t op) {
  const std::optional<X86Instruction> i = DecodeX86(code, at);
  if (!i || i->opcode != 0xFF || i->map != 1 || i->Reg() != op || i->Mod() != 0 || i->Rm() != 5) return false;
  const uint32_t slot = uint32_t(i->disp) - uint32_t(image.imageBase);
  // The import address table, else the section of the import (or delayed
  // import) directory, which holds it where the table has no entry of its own.
  const PeDataDirectory table = image.Directory(12);
  if (table.rva != 0) return slot - table.rva < table.size;
  for (const unsigned index : {1u, 13u}) {
    const PeDataDirectory d = image.Directory(index);
    const PeSection* section = d.rva != 0 ? image.SectionAt(d.rva) : nullptr;
    if (section && section == image.SectionAt(slot)) return true;
  }
  return false;
}

}  // namespace

bool CallsOutOfImage(const PeImage& image, std::string_view bytes, uint32_t rva) {
  const std::optional<CallBefore> call = CallBeforeRva(image, bytes, rva);
  if (!call) return false;
  const PeSection* section = image.SectionAt(rva - 1);
  const std::string_view code = PeBytesAt(image, bytes, section->virtualAddress, section->Span());
  if (!call->target) return ThroughImportSlot(image, code, rva - call->length - section->virtualAddress, 2);
  const PeSection* to = image.SectionAt(*call->target);
  if (!to) return true;
  if (!to->IsCode()) return false;
  const std::string_view thunk = PeBytesAt(image, bytes, to->virtualAddress, to->Span());
  return ThroughImportSlot(image, thunk, *call->target - to->virtualAddress, 4);
}

}  // namespace qf
