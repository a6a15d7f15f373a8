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

  quillfen-cli db [--db DIR] SUBCOMMAND ...
      The MAP database: a folder "db" beside quillfen-cli (or DIR, given right
      after the word db) with one folder per project and one VERSION.map file
      per version.
        projects                  the projects, one a line, in the folder's order
        versions PROJECT          the project's versions as listed (lower case,
                                  with .map), in the folder's order
        tree                      what the database browser shows: projects in
                                  reverse order, only those with versions, each
                                  followed by its versions indented by two spaces
        add PROJECT VERSION MAPFILE
                                  stores MAPFILE as PROJECT/VERSION.map and prints
                                  the stored path; on failure prints one of
                                  "Invalid MAP file", "Invalid project name",
                                  "Invalid version name",
                                  "Unable to create folder : PROJECT",
                                  "This version already exists",
                                  "Unable to create file : PATH"
                                  on standard error and exits with 1
        lookup PROJECT VERSION ADDRESS...
                                  lookup on the stored version (VERSION with or
                                  without .map); the status line reads
                                  "PROJECT vVERSION : Loaded successfully (N items)"
      Project and version names are matched without regard to case. A name that
      is empty, "." or "..", or holds "\", "/" or ":" is refused.

  quillfen-cli --help
      Shows this text.

Exit status: 0 when the file loaded and every address was found; 1 otherwise;
2 for a usage error or a MAP file that cannot be read (the error goes to
standard error and nothing to standard output). db lookup exits as lookup;
the other db subcommands exit with 0 on success, 1 when an add is refused and
2 for a usage error or a MAP file that cannot be read.
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
  if (command == "db") return RunDb(args, std::cin, std::cout, std::cerr);
  std::cerr << "quillfen-cli: unknown command \"" << command << "\"\n" << UsageText();
  return kExitUsage;
}
