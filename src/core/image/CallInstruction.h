// Whether the bytes before an address of an image's code are a call
// instruction, as they are before every return address: `E8 rel32` ending
// there, or `FF /2` (an indirect call) ending there in any of its forms. The
// one rule for the stack walk and the x86 analysis, decoded by X86Length.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "image/PeImage.h"

namespace qf {

struct CallBefore {
  unsigned length = 0;  // bytes of the call instruction (2 to 7)
  // For `E8 rel32`: the RVA it calls (the return address's RVA plus rel32,
  // modulo 2^32); none for an indirect call.
  std::optional<uint32_t> target;
};

// `before` holds the bytes that end at the address (the last byte of
// `before` lies just before it), at most 7 of them. The forms of `FF /2`
// (ModRM reg field 2): a register (mod 3), [reg], [disp32] (mod 0, r/m 5),
// [reg + disp8] (mod 1), [reg + disp32] (mod 2), each memory form also with
// a SIB byte (r/m 4; with mod 0 a SIB base 5 takes a disp32); no prefix
// before the opcode. Where several forms fit, E8 is preferred, then the
// shortest.
std::optional<CallBefore> CallEndingAt(std::string_view before, uint32_t rva);

// The same at an RVA of an image: the bytes before it read from the image's
// section; none when they are no call or do not lie in one section.
std::optional<CallBefore> CallBeforeRva(const PeImage& image, std::string_view bytes, uint32_t rva);

}  // namespace qf
