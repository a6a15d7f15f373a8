// Load benchmark of the MAP line table on one file, in one run:
//   (a) the floor: reading the file into memory and counting its line ends,
//   (b) TMapFile::Load, and the same on one thread,
//   (c) FindOffset of an offset that is not in the table (a full scan),
// then the peak resident memory of this process.
//   bench_load FILE [RUNS]
//   bench_load --peak-rss COMMAND [ARGS...]   runs COMMAND, prints its peak RSS
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "base/FileSystem.h"
#include "map/U_MAPFile.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

// Line ends by the loader's rule: CR LF, lone CR, lone LF.
std::size_t CountLineEnds(const std::string& text) {
  std::size_t lf = 0, cr = 0, crlf = 0;
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p < end) {
    const void* hit = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
    if (!hit) break;
    const char* at = static_cast<const char*>(hit);
    ++lf;
    if (at > text.data() && at[-1] == '\r') ++crlf;
    p = at + 1;
  }
  if (crlf != lf) cr = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\r'));
  else cr = crlf;
  return lf + cr - crlf;
}

long PeakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

int PeakRssOfChild(char** argv) {
  const pid_t child = fork();
  if (child < 0) {
    std::perror("fork");
    return 2;
  }
  if (child == 0) {
    const int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, STDOUT_FILENO);
    execvp(argv[0], argv);
    std::perror(argv[0]);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) < 0) {
    std::perror("wait4");
    return 2;
  }
  std::printf("peak RSS of %s: %.1f MB (exit status %d)\n", argv[0], usage.ru_maxrss / 1024.0,
              WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--peak-rss") == 0) return PeakRssOfChild(argv + 2);
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_load FILE [RUNS] | bench_load --peak-rss COMMAND [ARGS...]\n");
    return 2;
  }
  const std::string path = argv[1];
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;

  // (a) and (b) alternate, so that both see the same machine load; the best
  // run of each counts. Only one table exists at a time.
  double floorBest = 1e9, loadBest = 1e9, oneThreadBest = 1e9;
  std::size_t bytes = 0, lineEnds = 0;
  long rssAfterFloor = 0;
  std::unique_ptr<qf::TMapFile> table;
  for (int i = 0; i < runs; ++i) {
    {
      const auto start = Clock::now();
      const std::string text = qf::PlatformFileSystem().ReadWholeFile(path);
      lineEnds = CountLineEnds(text);
      floorBest = std::min(floorBest, Seconds(start));
      bytes = text.size();
    }
    if (i == 0) rssAfterFloor = PeakRssKb();
    table.reset();
    table = std::make_unique<qf::TMapFile>();
    const auto start = Clock::now();
    table->Load(path);
    loadBest = std::min(loadBest, Seconds(start));
    if (i + 1 < runs) {
      qf::LineTableLoadOptions one;
      one.threads = 1;
      table.reset();
      table = std::make_unique<qf::TMapFile>();
      const auto oneStart = Clock::now();
      table->Load(path, qf::PlatformFileSystem(), one);
      oneThreadBest = std::min(oneThreadBest, Seconds(oneStart));
    }
  }
  const qf::TMapFile& keep = *table;
  const int32_t entries = keep.Count();

  // (c) Misses that scan the whole table: an offset above every entry, and one
  // that falls in the gap between two source files.
  int32_t highest = std::numeric_limits<int32_t>::min();
  for (int32_t i = 0; i < keep.Count(); ++i) highest = std::max(highest, keep.Entry(i).Offset());
  const int32_t beyond = highest == std::numeric_limits<int32_t>::max() ? highest : highest + 1;
  double scanBest = 1e9;
  bool missed = true;
  for (int i = 0; i < std::max(runs, 5); ++i) {
    const auto start = Clock::now();
    const auto hit = keep.FindOffset(beyond);
    scanBest = std::min(scanBest, Seconds(start));
    missed = missed && !hit;
  }

  const double mb = bytes / 1048576.0;
  std::printf("file: %s, %.1f MB, %zu line ends, %d entries\n", path.c_str(), mb, lineEnds, entries);
  std::printf("(a) floor (read + count line ends): %8.1f ms  %7.1f MB/s\n", floorBest * 1e3, mb / floorBest);
  std::printf("(b) TMapFile::Load:                 %8.1f ms  %7.1f MB/s\n", loadBest * 1e3, mb / loadBest);
  std::printf("    ratio (b)/(a): %.2f\n", loadBest / floorBest);
  if (runs > 1) {
    std::printf("(b1) TMapFile::Load on one thread:  %8.1f ms  %7.1f MB/s\n", oneThreadBest * 1e3, mb / oneThreadBest);
  }
  std::printf("(c) FindOffset miss (full scan of %d entries): %.2f ms%s\n", keep.Count(), scanBest * 1e3,
              missed ? "" : "  (UNEXPECTED HIT)");
  std::printf("peak RSS: %.1f MB after the floor, %.1f MB after the loads (file size %.1f MB)\n",
              rssAfterFloor / 1024.0, PeakRssKb() / 1024.0, mb);
  return missed ? 0 : 1;
}
