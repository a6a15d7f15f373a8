// Writes a small minidump of MinidumpWriter.h (a program at 0x400000 that
// called into a library at 0x10000000, which crashed), for the fuzz seeds and
// the command-line tests ("no-version": the program has no file version;
// RETURN: the return address into the program, default 0x401234):
//   make_minidump OUT x86|amd64|no-exception|no-version [RETURN]
#include <cstdio>
#include <fstream>
#include <string>

#include "MinidumpWriter.h"

int main(int argc, char** argv) {
  const std::string kind = argc == 3 || argc == 4 ? argv[2] : "";
  if (kind != "x86" && kind != "amd64" && kind != "no-exception" && kind != "no-version") {
    std::fprintf(stderr, "usage: make_minidump OUT x86|amd64|no-exception|no-version [RETURN]\n");
    return 2;
  }
  const uint64_t returnAddress = argc == 4 ? std::stoull(argv[3], nullptr, 16) : 0x401234;
  using namespace qf::test;
  const bool is64 = kind == "amd64";
  const unsigned w = is64 ? 8 : 4;
  const uint64_t s = 0x22FE00;
  std::string stack(4 * w, '\0');
  dump_detail::Put(stack, 0, s + 2 * w, w);
  dump_detail::Put(stack, w, returnAddress, w);
  dump_detail::Put(stack, 3 * w, 0x10001111, w);
  DumpShape shape;
  shape.is64 = is64;
  shape.modules = {{0x400000, 0x10000, "C:\\app\\CrashApp.exe", std::array<uint16_t, 4>{1, 2, 3, 4}},
                   {0x10000000, 0x8000, "C:\\app\\CrashLib.dll", std::nullopt}};
  if (kind == "no-version") shape.modules[0].version.reset();
  shape.threads = {{7, {0x77001000, s, s}, s, stack, 0}};
  // A second thread in a 32-bit dump (a 64-bit context is large; the seeds stay under 4 KB).
  if (!is64) shape.threads.push_back({9, {0x77002000, 0, 0}, 0, "", 0});
  if (kind != "no-exception")
    shape.exception = DumpShape::Exception{7, 0xC0000005, 0x10001000, {1, 0x10}, {0x10001000, s, s}};
  shape.memory = {{0x500000, "abcd"}};
  const std::string bytes = WriteMinidump(shape);
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return out ? 0 : 1;
}
