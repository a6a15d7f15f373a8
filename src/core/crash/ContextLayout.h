// Where the registers lie in the CONTEXT record of each processor, for the
// minidump reader and for the 32-bit context a WOW64 thread keeps in its CPU
// area. general: the offsets of the general registers in the processor's
// numbering (EAX, ECX, EDX, EBX, ESP, EBP, ESI, EDI, the order of
// MinidumpRegisters::general; on AMD64 RAX to R15). needed: the bytes that
// hold every register read here.
#pragma once

#include <array>
#include <cstdint>

namespace qf {

struct ContextLayout {
  uint32_t ip, sp, fp, word;
  unsigned generalCount;
  std::array<uint32_t, 16> general;
  uint32_t codeSegment, needed;
};

// i386: Edi 0x9C ... Ebp 0xB4, Eip 0xB8, SegCs 0xBC, EFlags, Esp 0xC4.
inline constexpr ContextLayout kX86Context{
    0xB8, 0xC4, 0xB4, 4, 8, {0xB0, 0xAC, 0xA8, 0xA4, 0xC4, 0xB4, 0xA0, 0x9C}, 0xBC, 0xC8};
// AMD64: SegCs 0x38, Rax 0x78 ... R15 0xF0, Rip 0xF8.
inline constexpr ContextLayout kAmd64Context{
    0xF8, 0x98, 0xA0, 8, 16,
    {0x78, 0x80, 0x88, 0x90, 0x98, 0xA0, 0xA8, 0xB0, 0xB8, 0xC0, 0xC8, 0xD0, 0xD8, 0xE0, 0xE8, 0xF0}, 0x38, 0x100};

}  // namespace qf
