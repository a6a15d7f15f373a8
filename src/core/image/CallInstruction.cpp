#include "image/CallInstruction.h"

#include <algorithm>

#include "image/X86Length.h"

namespace qf {
namespace {

// The length of an `FF /2` instruction from its ModRM byte and, when there
// is one, its SIB byte.
unsigned IndirectCallLength(uint8_t modrm, uint8_t sib) { return 1 + X86ModrmLength(modrm, sib); }

}  // namespace

std::optional<CallBefore> CallEndingAt(std::string_view before, uint32_t rva) {
  const size_t n = before.size();
  auto back = [&](size_t k) { return static_cast<uint8_t>(before[n - k]); };
  if (n >= 5 && back(5) == 0xE8) {
    const LeBytes bytes(before);
    const uint32_t rel = *bytes.U32(n - 4);
    return CallBefore{5, rva + rel};
  }
  for (unsigned length = 2; length <= 7 && length <= n; ++length) {
    if (back(length) != 0xFF) continue;
    const uint8_t modrm = back(length - 1);
    if ((modrm >> 3 & 7) != 2) continue;
    const uint8_t sib = length >= 3 ? back(length - 2) : 0;
    if (IndirectCallLength(modrm, sib) == length) return CallBefore{length, std::nullopt};
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
