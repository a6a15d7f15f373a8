// The command line's error conventions: every error on standard error starts
// with "quillfen-cli: "; a usage error is one line and a pointer to --help.
#include <algorithm>
#include <ostream>

#include "Commands.h"
#include "base/Errors.h"

namespace qf::cli {

void PrintError(std::ostream& err, const std::string& message) { err << "quillfen-cli: " << message << '\n'; }

void PrintException(std::ostream& err, const Exception& e) {
  // The core's errors carry the window's texts; the command line words its own.
  if (const auto* open = dynamic_cast<const EFOpenError*>(&e)) {
    PrintError(err, "cannot open \"" + open->Path() + "\": " + open->Reason());
  } else if (dynamic_cast<const EListError*>(&e)) {
    PrintError(err, "internal error: a list index out of bounds");
  } else {
    PrintError(err, e.what());
  }
}

int UsageError(std::ostream& err, const std::string& message) {
  PrintError(err, message);
  err << "Try 'quillfen-cli --help'\n";
  return kExitUsage;
}

bool IsOption(const std::string& arg) { return arg.size() > 1 && arg[0] == '-'; }

Args::iterator OptionsEnd(Args& args) { return std::find(args.begin(), args.end(), std::string("--")); }

}  // namespace qf::cli
