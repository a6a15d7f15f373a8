#include <iostream>
#include <new>
#include <sstream>

#include "Commands.h"
#include "base/Errors.h"
#include "map/LookupTexts.h"
#include "map/U_MAPFile.h"

namespace qf::cli {
namespace {

// Answers one address; true when it named a source line.
bool Answer(const TMapFile& map, const std::string& address, std::ostream& out) {
  const SearchAnswer answer = AnswerSearch(map, address);
  out << answer.text << '\n';
  return answer.kind == SearchAnswer::Found;
}

}  // namespace

int PrintLookup(const std::string& mapFile, const std::string& statusPrefix, const Args& addresses,
                std::istream& in, std::ostream& out, std::ostream& err) {
  TMapFile map;
  try {
    map.Load(mapFile);
  } catch (const Exception& e) {
    PrintException(err, e);
    return kExitUsage;
  } catch (const std::bad_alloc&) {
    // A 32-bit program runs out of address space on a very large file.
    PrintError(err, "Not enough memory to load \"" + mapFile + "\"");
    return kExitUsage;
  }
  // Everything is written to a buffer first so that nothing reaches standard
  // output before the file is known to be readable.
  std::ostringstream text;
  text << LoadStatusText(map, statusPrefix) << '\n';
  bool allFound = map.Loaded();
  for (const std::string& address : addresses) {
    if (address != "-") {
      allFound = Answer(map, address, text) && allFound;
      continue;
    }
    out << text.str();
    text.str(std::string());
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      allFound = Answer(map, line, out) && allFound;
    }
  }
  out << text.str();
  out.flush();
  return allFound ? kExitOk : kExitNotAllFound;
}

int RunLookup(const Args& argsIn, std::istream& in, std::ostream& out, std::ostream& err) {
  ParsedArgs parsed;
  if (const int status = ParseArgs(*FindCommand("lookup"), argsIn, parsed, err)) return status;
  const Args& args = parsed.operands;
  if (args.empty()) return UsageError(err, "lookup: a MAP file is needed");
  const Args addresses(args.begin() + 1, args.end());
  return PrintLookup(args[0], std::string(), addresses, in, out, err);
}

}  // namespace qf::cli
