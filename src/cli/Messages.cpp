// The command line's error conventions: every error on standard error starts
// with "quillfen-cli: "; a usage error is one line and a pointer to --help.
#include <ostream>

#include "Commands.h"

namespace qf::cli {

void PrintError(std::ostream& err, const std::string& message) { err << "quillfen-cli: " << message << '\n'; }

int UsageError(std::ostream& err, const std::string& message) {
  PrintError(err, message);
  err << "Try 'quillfen-cli --help'\n";
  return kExitUsage;
}

bool IsOption(const std::string& arg) { return arg.size() > 1 && arg[0] == '-'; }

int RefuseOptions(const std::string& command, const Args& args, std::ostream& err) {
  for (const std::string& arg : args)
    if (IsOption(arg)) return UsageError(err, command + ": unknown option \"" + arg + "\"");
  return kExitOk;
}

}  // namespace qf::cli
