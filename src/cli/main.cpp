// quillfen-cli: the line table and the MAP database from the command line.
#include <iostream>

#include "Commands.h"

namespace qf::cli {

std::string UsageText() {
  return R"USAGE(Usage:
  quillfen-cli lookup MAPFILE ADDRESS...
      Loads MAPFILE and prints the status line ("Loaded successfully (N items)"
      or "NOT Loaded (error)"), then one answer per crash address, in order:
        Crash found in <source file> at line <n>
        Crash Address not found in MAP file
        Invalid Crash Address
        (an empty line for an address of fewer than two characters)
        Please load a MAP file first   (when the file has no line numbers)
      Addresses are hexadecimal, with or without 0x (0x0045894F, 45894F).
      An ADDRESS of - reads addresses from standard input, one per line.

  quillfen-cli --help
      Shows this text.

Exit status: 0 when the file loaded and every address was found; 1 otherwise;
2 for a usage error or a MAP file that cannot be read (the error goes to
standard error and nothing to standard output).
)USAGE";
}

}  // namespace qf::cli

int main(int argc, char** argv) {
  using namespace qf::cli;
  Args args(argv + 1, argv + argc);
  if (args.empty()) {
    std::cerr << UsageText();
    return kExitUsage;
  }
  const std::string command = args.front();
  args.erase(args.begin());
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << UsageText();
    return kExitOk;
  }
  if (command == "lookup") return RunLookup(args, std::cin, std::cout, std::cerr);
  std::cerr << "quillfen-cli: unknown command \"" << command << "\"\n" << UsageText();
  return kExitUsage;
}
