// Cost of demangling beside the cost of loading a MAP file, in one run:
//   (a) SymbolMap::Load of FILE (the least that breakpad and pdb spend on it),
//   (b) the walk over its code publics, names only, and the same walk with
//       each name demangled (full form),
//   (c) as many names of the C++Builder MAP file NAMES_MAP (all of them
//       mangled, taken in turn) demangled, as if FILE were a C++Builder program,
// each the best of RUNS, then the two demangling figures against the load.
//   bench_demangle FILE NAMES_MAP [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "map/SymbolMap.h"
#include "names/Demangle.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

template <typename Work>
double Best(int runs, Work work) {
  double best = std::numeric_limits<double>::max();
  for (int i = 0; i < runs; ++i) {
    const Clock::time_point start = Clock::now();
    work();
    best = std::min(best, Seconds(start));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_demangle FILE NAMES_MAP [RUNS]\n");
    return 2;
  }
  const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  std::size_t sink = 0;

  qf::SymbolMap map;
  const double load = Best(runs, [&] { map = qf::SymbolMap::Load(argv[1]); });
  std::size_t publics = 0, mangled = 0;
  const double walk = Best(runs, [&] {
    publics = 0;
    map.ForEachCodePublic([&](uint64_t, std::string_view name, uint64_t) {
      ++publics;
      sink += name.size();
    });
  });
  const double walkDemangled = Best(runs, [&] {
    mangled = 0;
    map.ForEachCodePublic([&](uint64_t, std::string_view name, uint64_t) {
      const std::string readable = qf::DemangleName(name);
      mangled += readable != name;
      sink += readable.size();
    });
  });

  std::vector<std::string> names;
  qf::SymbolMap::Load(argv[2]).ForEachCodePublic([&](uint64_t, std::string_view name, uint64_t) {
    if (qf::DemangleName(name) != name) names.emplace_back(name);
  });
  if (names.empty()) {
    std::fprintf(stderr, "%s: no code public demangles\n", argv[2]);
    return 1;
  }
  const double borland = Best(runs, [&] {
    for (std::size_t i = 0; i < publics; ++i) sink += qf::DemangleName(names[i % names.size()]).size();
  });

  std::printf("%s: %zu code publics (%zu demangled), load %.3f s\n", argv[1], publics, mangled, load);
  std::printf("  walk of the publics: %.4f s, demangling each: %.4f s (+%.4f s, %.2f%% of the load)\n", walk,
              walkDemangled, walkDemangled - walk, 100.0 * (walkDemangled - walk) / load);
  std::printf("  %zu C++Builder names (in turn from the %zu of %s) demangled: %.4f s, %.0f ns a name (%.2f%% of the load)\n",
              publics, names.size(), argv[2], borland, 1e9 * borland / static_cast<double>(publics),
              100.0 * borland / load);
  return sink == 0 ? 1 : 0;
}
