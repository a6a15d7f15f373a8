// libFuzzer target for the x86 frame analysis: any bytes as the code of an
// image, any function span and frame address in it. The input is a header,
// then the code (the image's one section, at RVA 0x1000):
//   bytes 0-1   the function's start, 2-3 its end, 4-5 the frame's offset
//               in the code (each modulo the code's size + 1)
//   byte 6      bit 0: a caller frame (the offset is a return address);
//               bit 1: the start is not known (the forward read alone)
// Every input ends; every instruction decoded is 1 to 15 bytes; the table's
// rows lie in the function, in order, none overlapping the next.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzCheck.h"
#include "image/PeImage.h"
#include "image/X86Frames.h"
#include "image/X86Length.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  constexpr std::size_t kHeader = 7;
  if (size < kHeader) return 0;
  const std::string_view code(reinterpret_cast<const char*>(data) + kHeader, size - kHeader);
  const auto at = [&](std::size_t i) { return uint32_t(data[i] | data[i + 1] << 8) % uint32_t(code.size() + 1); };
  const uint32_t begin = 0x1000 + at(0), end = 0x1000 + at(2), frame = 0x1000 + at(4);
  const bool caller = data[6] & 1, noStart = data[6] & 2;

  for (std::size_t i = 0; i < code.size() && i < 64; ++i)
    if (const auto d = qf::DecodeX86(code, i)) QF_CHECK(d->length >= 1 && d->length <= 15 && i + d->length <= code.size());

  qf::PeImage image;
  image.machine = qf::PeImage::Machine::X86;
  image.imageBase = 0x400000;
  image.sections.push_back({".text", 0x1000, uint32_t(code.size()), uint32_t(code.size()), 0, qf::PeSection::kCode});
  qf::X86Code analysis(image, code);
  if (begin < end) {
    const qf::X86FrameTable& table = analysis.Function(begin, end);
    uint32_t last = begin;
    for (const qf::X86FrameRow& row : table.rows) {
      QF_CHECK(row.rva >= last && row.length >= 1 && row.rva < end);
      last = row.rva + 1;
    }
  }
  std::optional<std::pair<uint32_t, uint32_t>> function;
  if (!noStart && begin < end) function = std::make_pair(begin, end);
  (void)analysis.FrameAt(frame, caller, function);
  (void)analysis.CalleePops(frame);
  return 0;
}
