// The x86 frame analysis on short pieces of code: where the return address
// lies (from ESP or EBP) and where the callee-saved registers were saved, at
// one instruction, read from the function's start (the table) or, without a
// known start, forward to its return.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "image/X86Frames.h"

namespace qf {
namespace {

std::string Bytes(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size();) {
    if (hex[i] == ' ') {
      ++i;
      continue;
    }
    out += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    i += 2;
  }
  return out;
}

std::string Describe(const std::optional<X86Frame>& f) {
  if (!f) return "?";
  const auto value = [](const X86Value& v) {
    return std::string(v.base == X86Value::Esp ? "esp" : "ebp") + (v.offset < 0 ? "-" : "+") +
           std::to_string(v.offset < 0 ? -v.offset : v.offset);
  };
  std::string out = value(f->slot);
  if (f->indirect)
    out = "[" + out + "]" + (f->indirectOffset < 0 ? "-" : "+") + std::to_string(std::abs(f->indirectOffset));
  const char* names[8] = {"eax", "ecx", "edx", "ebx", "esp", "ebp", "esi", "edi"};
  for (const uint8_t r : {kEbx, kEbp, kEsi, kEdi})
    if (f->saved[r].Known()) out += std::string(" ") + names[r] + "@" + value(f->saved[r]);
  return out;
}

TEST(X86Frames, HeightsAndSaves) {
  struct Row {
    const char* what;
    const char* hex;
    uint32_t at;
    bool startKnown;
    const char* want;
  };
  const Row rows[] = {
      {"66h push", "66 50 66 58 c3", 2, true, "esp+2"},
      {"push fs:[eax]", "64 ff 30 64 8f 00 c3", 3, true, "esp+4"},
      {"add esp,-N", "83 c4 f0 83 c4 10 c3", 3, true, "esp+16"},
      {"enter", "c8 10 00 00 c9 c3", 4, true, "esp+20 ebp@esp+16"},
      {"leave", "c8 10 00 00 c9 c3", 5, true, "esp+0"},
      {"callee's ret n", "6a 01 e8 01 00 00 00 c3 c2 04 00", 7, true, "esp+0"},
      {"indirect call, caller cleans", "6a 01 6a 02 ff d0 83 c4 08 c3", 9, true, "esp+0"},
      {"indirect call, callee pops", "6a 01 ff d0 c3", 4, true, "esp+0"},
      {"join of two heights", "85 c0 74 01 50 90 c3", 5, true, "?"},
      {"push loop", "b9 04 00 00 00 6a 00 49 75 fb c3", 7, true, "?"},
      {"ret at a wrong height", "50 90 c3", 1, true, "?"},
      {"saves under a frame pointer", "55 89 e5 53 56 5e 5b 5d c3", 5, true, "esp+12 ebx@esp+4 ebp@esp+8 esi@esp+0"},
      {"lea esp,[ebp-8]", "55 89 e5 53 56 83 ec 10 8d 65 f8 5e 5b 5d c3", 11, true,
       "esp+12 ebx@esp+4 ebp@esp+8 esi@esp+0"},
      {"and esp,-16", "55 89 e5 83 e4 f0 83 ec 10 c9 c3", 9, true, "ebp+4 ebp@ebp+0"},
      {"pushad", "60 61 c3", 1, true, "esp+32 ebx@esp+16 ebp@esp+8 esi@esp+4 edi@esp+0"},
      {"exception frame", "55 8b ec 33 c0 55 68 00 00 40 00 64 ff 30 64 89 20 33 c0 5a 59 59 64 89 10 68 1f 10 40 00 c3 5d c3",
       17, true, "esp+16 ebp@esp+12"},
      {"finally by push and ret, a call between",
       "55 8b ec 33 c0 55 68 00 00 40 00 64 ff 30 64 89 20 33 c0 5a 59 59 64 89 10 68 21 10 40 00 ff d0 c3 5d c3", 33, true,
       "esp+4 ebp@esp+0"},
      {"finally after a push loop", "55 89 e5 b9 02 00 00 00 6a 00 49 75 fb 68 13 10 40 00 c3 89 ec 5d c3", 19, true,
       "ebp+4 ebp@ebp+0"},
      // GCC's force_align_arg_pointer prolog and epilog: ESP realigned, entry ESP+4 kept in ECX and pushed.
      {"realigned, through the saved pointer",
       "8d 4c 24 04 83 e4 f0 ff 71 fc 55 89 e5 53 51 83 ec 50 8d 65 f8 59 5b 5d 8d 61 fc c3", 18, true,
       "[esp+80]-4 ebx@esp+84 ebp@esp+88"},
      {"realigned, ESP restored from ECX",
       "8d 4c 24 04 83 e4 f0 ff 71 fc 55 89 e5 53 51 83 ec 50 8d 65 f8 59 5b 5d 8d 61 fc c3", 27, true, "esp+0"},
      {"entered by a jump, read forward", "53 eb 02 cc cc 83 ec 08 83 c4 08 5b c3", 8, false, "esp+12 ebx@esp+8"},
      {"in a finally block, read forward on to its label", "55 8b ec 68 11 10 40 00 90 c3 e9 00 00 00 00 eb f7 5d c3", 8,
       false, "esp+8 ebp@esp+4"},
      {"pushes that make room for locals", "53 51 6a 00 ff d0 8b c8 59 5b c3", 8, true, "esp+8 ebx@esp+4"},
      {"room for locals under a frame pointer", "55 8b ec 51 53 ff d0 8b c8 5b 59 5d c3", 7, true,
       "esp+12 ebx@esp+0 ebp@esp+8"},
  };
  for (const Row& row : rows) {
    const std::string code = Bytes(row.hex);
    PeImage image;
    image.machine = PeImage::Machine::X86;
    image.imageBase = 0x400000;
    image.sections.push_back({".text", 0x1000, uint32_t(code.size()), uint32_t(code.size()), 0, PeSection::kCode});
    X86Code analysis(image, code);
    std::optional<X86Frame> frame;
    if (row.startKnown) {
      const X86FrameRow* at = analysis.Function(0x1000, 0x1000 + uint32_t(code.size())).At(0x1000 + row.at);
      if (at) frame = at->frame;
    } else {
      frame = analysis.FrameAt(0x1000 + row.at, false, std::nullopt);
    }
    EXPECT_EQ(Describe(frame), row.want) << row.what;
  }
}

// A Delphi constructor: the exception frame (16 bytes) only where DL asks
// for an object; after the join, two heights.
TEST(X86Frames, TwoHeightsOfAConstructor) {
  const std::string code = Bytes("84 d2 74 08 83 c4 f0 e8 02 00 00 00 8b c3 c3");
  PeImage image;
  image.machine = PeImage::Machine::X86;
  image.sections.push_back({".text", 0x1000, uint32_t(code.size()), uint32_t(code.size()), 0, PeSection::kCode});
  X86Code analysis(image, code);
  const X86FrameTable& table = analysis.Function(0x1000, 0x1000 + uint32_t(code.size()));
  ASSERT_FALSE(table.either.empty());
  EXPECT_EQ(table.either.front().rva, 0x100Cu);
  EXPECT_EQ(Describe(table.either.front().higher) + " and " + std::to_string(table.either.front().below) + " lower",
            "esp+0 and 16 lower");
}

}  // namespace
}  // namespace qf
