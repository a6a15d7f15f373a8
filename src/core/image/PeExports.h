// The functions an image exports, as spans of its code: each exported RVA
// that lies in a code section, up to the next one or its section's end, in
// address order. For a module without a MAP file, the only function starts
// its image gives.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "image/PeImage.h"

namespace qf {

std::vector<std::pair<uint32_t, uint32_t>> PeExportedCode(const PeImage& image, std::string_view bytes);

}  // namespace qf
