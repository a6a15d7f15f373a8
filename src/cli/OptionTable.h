// The options of every command of quillfen-cli, declared once: the parser of
// every command, the help of each and the listing of all read them.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qf::cli {

using Args = std::vector<std::string>;

struct Option {
  const char* name;             // "--module", "-o"
  const char* metavar;          // "NAME"; nullptr for a flag
  const char* needs;            // what a missing value is called: "a name"
  bool repeatable;              // each value kept (else the last one counts)
  const char* help;             // one line
  bool (*valid)(const std::string& value);  // a value's check, or nullptr

  bool TakesValue() const { return metavar != nullptr; }
};

struct Command {
  const char* name;                   // "symbolize", "db add-build"
  std::vector<const char*> synopsis;  // each after "quillfen-cli "
  const char* summary;                // what it does, one line
  std::vector<Option> options;
};

// Every command with its options: quillfen-cli's own first, then lookup,
// symbolize, db and its subcommands ("db SUBCOMMAND"), breakpad, pdb.
const std::vector<Command>& CommandTable();
// The command of that name ("db add-build"), or nullptr.
const Command* FindCommand(std::string_view name);

// A command's arguments split into its options, in the order given, and its
// operands.
struct ParsedArgs {
  std::vector<std::pair<const Option*, std::string>> options;  // a flag's value is empty
  Args operands;

  bool Has(std::string_view name) const;
  // The last value given, if any.
  std::optional<std::string> Value(std::string_view name) const;
  // Every value given, in order.
  std::vector<std::string> Values(std::string_view name) const;
};

// Reads "--name", "--name VALUE" and "--name=VALUE" wherever they stand
// before "--"; every other argument, and every one after "--", is an operand
// ("-" alone is one). With leadingOnly the options end at the first operand,
// which and all that follow are operands as they are (db's own options
// before its subcommand). A usage error (an unknown option, a missing, empty
// or invalid value, a value for a flag) is printed and gives kExitUsage,
// else kExitOk.
int ParseArgs(const Command& command, const Args& args, ParsedArgs& parsed, std::ostream& err,
              bool leadingOnly = false);

// The command's usage made from the table: its synopsis, summary and options.
void PrintCommandHelp(const Command& command, std::ostream& out);
// One line "COMMAND OPTION" per option of every command (quillfen-cli's
// own under "quillfen-cli"), for tests that hold the table against the
// documentation.
void PrintOptionList(std::ostream& out);

}  // namespace qf::cli
