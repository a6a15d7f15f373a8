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

}  // namespace qf
