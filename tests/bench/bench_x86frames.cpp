// The x86 frame analysis on real images with their MAP files: for each
// image, the time to analyse every function from its start, how much of its
// code the analysis knows, how often the forward read agrees with it at the
// calls, and the time of one frame (its function analysed from nothing);
// with --walk, the walk of a 1,000-frame stack of Frameless32's Recurse.
//   bench_x86frames [--walk] IMAGE MAP [IMAGE MAP...]
// Without arguments: the walk, and the real Delphi and C++Builder programs
// of tests/data/real-programs.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "map/FunctionSpans.h"
#include "../unit/MinidumpWriter.h"
#include "crash/MinidumpReader.h"
#include "crash/StackWalk.h"
#include "image/PeImage.h"
#include "image/X86Frames.h"
#include "map/SymbolMap.h"

namespace {

using Clock = std::chrono::steady_clock;
double Ms(Clock::time_point from) { return std::chrono::duration<double, std::milli>(Clock::now() - from).count(); }

std::string ReadFile(const char* path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

struct Loaded {
  std::string bytes;
  qf::PeImage image;
  qf::SymbolMap map;
  std::vector<std::pair<uint32_t, uint32_t>> functions;  // RVAs
};

bool Load(const char* imagePath, const char* mapPath, Loaded& l) {
  l.bytes = ReadFile(imagePath);
  const auto image = qf::ReadPeImage(l.bytes);
  if (!image || image->machine != qf::PeImage::Machine::X86) return false;
  l.image = *image;
  l.map = qf::SymbolMap::Load(mapPath);
  const qf::FunctionSpans spans(l.map);
  for (const auto& [b, e] : spans.All())
    if (b >= l.map.ImageBase()) l.functions.push_back({uint32_t(b - l.map.ImageBase()), uint32_t(e - l.map.ImageBase())});
  return true;
}

void Analyse(const char* name, const Loaded& l) {
  size_t rows = 0, known = 0, either = 0, calls = 0, agree = 0, disagree = 0, forwardUnknown = 0;
  std::vector<uint32_t> returns;  // return addresses of calls, with their function
  std::vector<size_t> returnFunction;
  auto start = Clock::now();
  {
    qf::X86Code code(l.image, l.bytes);
    for (const auto& [b, e] : l.functions) code.Function(b, e);
  }
  const double all = Ms(start);
  qf::X86Code code(l.image, l.bytes);
  for (size_t f = 0; f < l.functions.size(); ++f) {
    const qf::X86FrameTable& t = code.Function(l.functions[f].first, l.functions[f].second);
    either += t.either.size();
    for (const qf::X86FrameRow& r : t.rows) {
      ++rows;
      known += r.frame.has_value();
      const std::string_view at = qf::PeBytesAt(l.image, l.bytes, r.rva, 1);
      const bool call = !at.empty() && (uint8_t(at[0]) == 0xE8 || (uint8_t(at[0]) == 0xFF && r.length >= 2));
      if (!call || !r.frame || (uint8_t(at[0]) == 0xFF && ((uint8_t(qf::PeBytesAt(l.image, l.bytes, r.rva + 1, 1)[0]) >> 3) & 7) != 2))
        continue;
      ++calls;
      returns.push_back(r.rva + r.length);
      returnFunction.push_back(f);
      const auto forward = code.Forward(r.rva + r.length, true, l.functions[f].second);
      if (!forward) ++forwardUnknown;
      else if (forward->SameSlot(*r.frame)) ++agree;
      else if (++disagree <= 3)
        std::printf("  disagree at %x: from the start %d:%d, forward %d:%d\n", r.rva, int(r.frame->slot.base),
                    r.frame->slot.offset, int(forward->slot.base), forward->slot.offset);
    }
  }
  std::printf("%s: %zu functions analysed in %.1f ms; %zu of %zu instructions known (%.1f%%), %zu more at two"
              " heights (%.1f%%)\n", name, l.functions.size(), all, known, rows, rows ? 100.0 * known / rows : 0.0,
              either, rows ? 100.0 * (known + either) / rows : 0.0);
  std::printf("  at %zu calls the forward read agrees %zu, disagrees %zu, does not know %zu\n", calls, agree, disagree,
              forwardUnknown);
  if (returns.empty()) return;
  std::mt19937 random(7);
  const size_t frames = 2000;
  start = Clock::now();
  size_t answered = 0;
  for (size_t i = 0; i < frames; ++i) {
    const size_t k = random() % returns.size();
    qf::X86Code cold(l.image, l.bytes);  // nothing learnt before
    answered += cold.FrameAt(returns[k], true, l.functions[returnFunction[k]]).has_value();
  }
  const double cold = Ms(start) * 1000 / frames;
  start = Clock::now();
  for (size_t i = 0; i < frames; ++i) {
    const size_t k = random() % returns.size();
    answered += code.FrameAt(returns[k], true, l.functions[returnFunction[k]]).has_value();
  }
  const double warm = Ms(start) * 1000 / frames;
  std::printf("  one frame: %.1f us from nothing, %.2f us with its function analysed (%zu of %zu answered)\n", cold, warm,
              answered, 2 * frames);
}

// 1,000 frames of Frameless32's Recurse (sub esp,0x2c; ... call Recurse at
// 0x401946): frame 0 at its call, every slot 0x30 bytes above the last.
void Walk(const Loaded& l) {
  qf::test::DumpShape shape;
  shape.modules.push_back({0x400000, l.image.sizeOfImage, "C:\\Frameless32.exe", std::nullopt, l.image.timeDateStamp});
  const uint64_t sp = 0x100000;
  std::string stack(0x30 * 1001, '\0');
  for (size_t k = 0; k <= 1000; ++k) qf::test::dump_detail::Put(stack, uint32_t(0x2c + 0x30 * k), 0x40194B, 4);
  shape.threads.push_back({1, {0x401946, sp, 0}, sp, stack, 0});
  const std::string bytes = qf::test::WriteMinidump(shape);
  const qf::Minidump dump = qf::ReadMinidump(std::string_view(bytes));
  const qf::ModuleImage image(l.image, l.bytes);
  const qf::FunctionSpans spans(l.map);
  qf::StackWalkOptions options;
  options.imageOf = [&](const qf::MinidumpModule&) { return &image; };
  options.functionAt = [&](uint64_t a) { return spans.At(a); };
  double best = 1e9;
  size_t frames = 0;
  for (int run = 0; run < 5; ++run) {
    const auto start = Clock::now();
    frames = qf::WalkStack(dump, dump.threads[0].stack, *dump.threads[0].registers, options).size();
    best = std::min(best, Ms(start));
  }
  std::printf("walk: %zu frames in %.2f ms (best of 5)\n", frames, best);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1) {
    static const std::string root = QF_SOURCE_DIR "/tests/";
    static const std::string paths[] = {
        root + "dumps/Frameless32/data/Frameless32.exe", root + "dumps/Frameless32/data/Frameless32.map",
        root + "data/real-programs/d7-circuit/Project1.exe", root + "data/real-programs/d7-circuit/Project1.map",
        root + "data/real-programs/dxe-3des/Project1.exe", root + "data/real-programs/dxe-3des/Project1.map",
        root + "data/real-programs/bcb6-autoupdate/AuUpdateBackgroundService.exe",
        root + "data/real-programs/bcb6-autoupdate/AuUpdateBackgroundService.map"};
    static const char* args[] = {argv[0], "--walk", paths[0].c_str(), paths[1].c_str(), paths[2].c_str(),
                                 paths[3].c_str(), paths[4].c_str(), paths[5].c_str(), paths[6].c_str(),
                                 paths[7].c_str()};
    argc = 10;
    argv = const_cast<char**>(args);
  }
  int i = 1;
  const bool walk = argc > 1 && std::strcmp(argv[1], "--walk") == 0;
  if (walk) ++i;
  if (argc - i < 2 || (argc - i) % 2 != 0) {
    std::fprintf(stderr, "usage: bench_x86frames [--walk] IMAGE MAP [IMAGE MAP...]\n");
    return 2;
  }
  for (int k = i; k + 1 < argc; k += 2) {
    Loaded l;
    if (!Load(argv[k], argv[k + 1], l)) {
      std::fprintf(stderr, "%s: no x86 image\n", argv[k]);
      return 1;
    }
    Analyse(argv[k], l);
    if (walk && k == i) Walk(l);
  }
  return 0;
}
