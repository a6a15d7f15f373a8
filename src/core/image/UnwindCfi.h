// The stack rules of an x64 image for Breakpad's symbol files, from its
// unwind tables: for each RUNTIME_FUNCTION a STACK CFI INIT record (the
// frame at the function's first byte, or, for a chained entry, after the
// prologs it continues) and a STACK CFI record at each step of its prolog,
// so that Breakpad unwinds a frame from any instruction as Windows does.
// Code no entry covers is a leaf (its return address at RSP), as Windows
// reads it. Constants in the rules are decimal, addresses hexadecimal.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "image/PeImage.h"

namespace qf {

// The STACK CFI lines (LF line ends) of an x64 image; empty for another
// machine or an image without an exception directory. A function whose
// unwind data cannot be read, or that pushes a machine frame (a handler of
// interrupts, which Breakpad's rules cannot follow), gets no rules.
std::string X64StackCfi(const PeImage& image, std::string_view bytes);

// The STACK CFI lines of an x86 image from the analysis of its functions
// (X86Code), each [begin, end) given as RVAs in address order (x86 images
// have no function table: the MAP file's): for each stretch of a function
// whose frame the analysis knows, a STACK CFI INIT record and a STACK CFI
// record wherever the frame changes (the CFA from $esp or $ebp, the saved
// registers from the CFA). Code it does not know gets no record. Empty for
// another machine.
std::string X86StackCfi(const PeImage& image, std::string_view bytes,
                        const std::vector<std::pair<uint32_t, uint32_t>>& functions);

}  // namespace qf
