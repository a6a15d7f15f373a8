// The commands of quillfen-cli. Each takes its own arguments (after the
// command word) and the three streams, and returns the exit status.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace qf::cli {

using Args = std::vector<std::string>;

inline constexpr int kExitOk = 0;
inline constexpr int kExitNotAllFound = 1;
inline constexpr int kExitUsage = 2;

// lookup MAPFILE ADDRESS... ("-" reads addresses from standard input)
int RunLookup(const Args& args, std::istream& in, std::ostream& out, std::ostream& err);

// The lookup of a loaded table with a status line already decided: prints
// the status, then one answer per address. Shared with "db lookup".
int PrintLookup(const std::string& mapFile, const std::string& statusPrefix, const Args& addresses,
                std::istream& in, std::ostream& out, std::ostream& err);

// db [--db DIR] projects | versions PROJECT | tree | add PROJECT VERSION MAPFILE
//    | lookup PROJECT VERSION ADDRESS...
int RunDb(const Args& args, std::istream& in, std::ostream& out, std::ostream& err);

std::string UsageText();

}  // namespace qf::cli
