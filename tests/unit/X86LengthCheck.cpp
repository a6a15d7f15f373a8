// Compares DecodeX86's lengths with a disassembler's listing of an x86
// image (i686-w64-mingw32-objdump -d --insn-width=16 on standard input):
// each instruction's length, at the listing's address. Prints the counts;
// exit 1 on any length that differs or any instruction left undecoded.
//   x86length_check IMAGE < LISTING
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

#include "image/PeImage.h"
#include "image/X86Length.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: x86length_check IMAGE < LISTING\n";
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::optional<qf::PeImage> image = qf::ReadPeImage(bytes);
  if (!image || image->machine != qf::PeImage::Machine::X86) {
    std::cerr << argv[1] << ": no x86 image\n";
    return 2;
  }
  size_t same = 0, differ = 0, undecoded = 0;
  std::string line;
  while (std::getline(std::cin, line)) {
    // "  401000:\t55                   \tpush   %ebp"
    const size_t colon = line.find(":\t");
    if (colon == std::string::npos) continue;
    const size_t tab = line.find('\t', colon + 2);
    if (tab == std::string::npos) continue;
    const std::string mnemonic = line.substr(tab + 1);
    if (mnemonic.rfind("(bad)", 0) == 0 || mnemonic.rfind(".byte", 0) == 0) continue;  // no instruction
    unsigned long long address = 0;
    if (std::sscanf(line.c_str(), " %llx", &address) != 1) continue;
    std::istringstream hex(line.substr(colon + 2, tab - colon - 2));
    unsigned length = 0;
    for (std::string b; hex >> b;) ++length;
    const uint32_t rva = uint32_t(address - image->imageBase);
    const std::string_view code = qf::PeBytesAt(*image, bytes, rva, 16);
    const auto decoded = qf::DecodeX86(code, 0);
    if (!decoded) {
      if (++undecoded <= 20) std::cout << "undecoded: " << line << '\n';
    } else if (decoded->length != length) {
      if (++differ <= 20) std::cout << "length " << unsigned(decoded->length) << ": " << line << '\n';
    } else {
      ++same;
    }
  }
  std::cout << argv[1] << ": " << same << " the same, " << differ << " different, " << undecoded << " undecoded\n";
  return differ == 0 && undecoded == 0 && same > 0 ? 0 : 1;
}
