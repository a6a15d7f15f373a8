// The command line's error conventions: every error on standard error starts
// with "quillfen-cli: "; a usage error is one line and a pointer to --help.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ostream>

#include "Commands.h"
#include "base/Errors.h"
#include "map/SymbolMap.h"

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

std::string MapLacks(const SymbolMap& map, const std::string& mapFile) {
  bool publics = false;
  map.ForEachCodePublic([&](uint64_t, std::string_view, uint64_t) { publics = true; });
  if (publics || !map.SourceFiles().empty()) return {};
  return mapFile + " has segments only (no publics, no line numbers), so no address gets a function (Delphi: Map file = Detailed; C++Builder: map file \"detailed "
         "segments\" with publics)";
}

std::string BitnessProblem(const std::string& image, bool image64, const std::string& mapFile, bool map64) {
  if (image64 == map64) return {};
  return image + " is a " + (image64 ? "64" : "32") + "-bit image, " + mapFile + " the MAP file of a " +
         (map64 ? "64" : "32") + "-bit one";
}

std::string SystemReason(int error) { return error != 0 ? std::strerror(error) : "unknown reason"; }

bool IsOption(const std::string& arg) { return arg.size() > 1 && arg[0] == '-'; }

Args::iterator OptionsEnd(Args& args) { return std::find(args.begin(), args.end(), std::string("--")); }

}  // namespace qf::cli
