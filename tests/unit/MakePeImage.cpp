// Writes a minimal executable image for the command-line tests:
//   make_pe_image OUT pe32|pe32+|no-resources [A.B.C.D] [TIMEDATESTAMP]
// (TIMEDATESTAMP in hexadecimal, default 5F1E2A3B: another one makes another
// build of the same version)
#include <cstdio>
#include <fstream>
#include <string>

#include "PeImageWriter.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 5) {
    std::fprintf(stderr, "usage: make_pe_image OUT pe32|pe32+|no-resources [A.B.C.D] [TIMEDATESTAMP]\n");
    return 2;
  }
  const std::string kind = argv[2];
  qf::test::PeImageShape shape;
  shape.is64 = kind == "pe32+";
  shape.withResources = kind != "no-resources";
  if (argc == 5) shape.timeDateStamp = static_cast<uint32_t>(std::stoul(argv[4], nullptr, 16));
  if (argc >= 4 && std::string(argv[3]) != "-") {
    unsigned v[4];
    if (std::sscanf(argv[3], "%u.%u.%u.%u", &v[0], &v[1], &v[2], &v[3]) != 4) return 2;
    for (int i = 0; i < 4; ++i) shape.version[i] = static_cast<uint16_t>(v[i]);
  }
  const std::string image = qf::test::MakePeImage(shape);
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out.write(image.data(), static_cast<std::streamsize>(image.size()));
  return out ? 0 : 1;
}
