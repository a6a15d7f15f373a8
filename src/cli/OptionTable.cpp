// The option table of quillfen-cli and the one parser that reads it.
#include "OptionTable.h"

#include <algorithm>
#include <ostream>

#include "Commands.h"
#include "crash/CrashReport.h"

namespace qf::cli {
namespace {

// A hexadecimal address (--base, --image-base), not an offset from a module.
bool IsHexAddress(const std::string& value) {
  const std::optional<AddressRef> address = ParseAddress(value);
  return address && !address->rva;
}

Option Flag(const char* name, const char* help) { return Option{name, nullptr, nullptr, false, help, nullptr}; }
Option Value(const char* name, const char* metavar, const char* needs, const char* help,
             bool (*valid)(const std::string&) = nullptr) {
  return Option{name, metavar, needs, false, help, valid};
}
Option Repeatable(Option option) {
  option.repeatable = true;
  return option;
}

// help: what keeps the linker's names.
Option NoDemangle(const char* help = "the file names C++ functions by the linker's names, not their readable ones") {
  return Flag("--no-demangle", help);
}

// The options symbolize and db symbolize share.
std::vector<Option> SymbolizeShared() {
  return {
      Flag("--rva", "every address is an offset from the module's base (an RVA, as an event's \"Fault offset\")"),
      Value("--base", "ADDR", "a hexadecimal address",
            "the module was loaded at ADDR: an address A is read as A - ADDR + the preferred image base",
            IsHexAddress),
      Value("--image-base", "ADDR", "a hexadecimal address",
            "the preferred image base, instead of the one read from the file", IsHexAddress),
      Value("--report", "FILE", "a file",
            "reads a crash report (- for standard input) and answers each address of it in code, once"),
      Value("--minidump", "DUMP", "a file", "walks the stack of a Windows minidump's crashed thread (- reads it from standard input)"),
      Flag("--scan", "with --minidump: also every stack word that points into code (marked [scan])"),
      Flag("--all-threads", "with --minidump: every thread, not only the crashed one"),
      Flag("--native", "with --minidump: a WOW64 dump's 64-bit threads instead of its 32-bit view"),
      Repeatable(Value("--image", "FILE", "a file",
                       "with --minidump: a module's executable, used when it is the dump's build (x64: unwind "
                       "tables; x86: the stack-height analysis of its code; both: checked scanning)")),
      Value("--images", "DIR", "a folder",
            "with --minidump: a folder searched for each module's executable by its file name"),
      Flag("--json", "JSON Lines: one object per address, a bad one as {\"address\":...,\"error\":...} (with --minidump: one object for the dump)"),
      NoDemangle("C++ functions by the linker's names, not their readable ones (also over --short-names)"),
      Flag("--short-names", "a mangled C++ name without its parameters and calling convention: TForm1::Button11Click"),
  };
}

std::vector<Command> MakeTable() {
  std::vector<Command> table;
  table.push_back({"quillfen-cli",
                   {"COMMAND [ARGUMENTS]...", "help [COMMAND [SUBCOMMAND]]"},
                   "Commands: lookup, symbolize, db, breakpad, pdb.",
                   {Flag("--help", "the whole help; as a command's first argument, that command's"),
                    Flag("--version", "the program's version")}});
  table.push_back({"lookup",
                   {"lookup MAPFILE ADDRESS..."},
                   "Prints the status line of Quillfen's window for MAPFILE, then its answer for each address "
                   "(- reads them from standard input).",
                   {}});

  std::vector<Option> symbolize = SymbolizeShared();
  symbolize.insert(symbolize.begin() + 4,
                   Value("--module", "NAME", "a name",
                         "the module the MAP file belongs to (else the one named like the MAP file)"));
  table.push_back({"symbolize",
                   {"symbolize MAPFILE [OPTIONS] ADDRESS...", "symbolize MAPFILE [OPTIONS] --report FILE",
                    "symbolize MAPFILE [OPTIONS] --minidump DUMP"},
                   "Prints the function, unit, source file and line of each address, of each address of a crash "
                   "report, or of each frame of a minidump's stack.",
                   symbolize});

  table.push_back({"db",
                   {"db [--db DIR] SUBCOMMAND [ARGUMENTS]..."},
                   "The MAP database: one folder per project, one VERSION.map file per version.",
                   {Value("--db", "DIR", "a folder",
                          "the database's folder instead of \"db\" beside quillfen-cli (right after db)")}});
  table.push_back({"db projects", {"db projects"}, "Lists the projects, sorted by name.", {}});
  table.push_back({"db versions",
                   {"db versions [OPTIONS] PROJECT"},
                   "Lists the project's versions (VERSION.map), in version order (1.2.10 after 1.2.9).",
                   {Flag("--builds", "each version with the identity of its build, or \"(no .build file)\"")}});
  table.push_back({"db tree",
                   {"db tree"},
                   "Prints what the database browser shows: the projects with versions in reverse order, each "
                   "followed by its versions.",
                   {}});
  table.push_back({"db add",
                   {"db add PROJECT VERSION MAPFILE"},
                   "Stores MAPFILE as PROJECT/VERSION.map and prints the stored path.",
                   {}});
  table.push_back({"db add-build",
                   {"db add-build [OPTIONS] EXE [MAPFILE]"},
                   "Stores the MAP file beside EXE (or MAPFILE) under EXE's file version, with the build's "
                   "identity and EXE itself.",
                   {Value("--project", "NAME", "a name", "the project, instead of EXE's name without extension"),
                    Flag("--no-image", "keeps the build's identity but not the executable")}});
  table.push_back({"db lookup",
                   {"db lookup PROJECT VERSION ADDRESS..."},
                   "lookup on a stored version.",
                   {}});
  std::vector<Option> dbSymbolize = SymbolizeShared();
  dbSymbolize.push_back(Value("--build-version", "X.Y.Z.W", "a version",
                              "the program's version, where the report or the dump gives none"));
  dbSymbolize.push_back(
      Flag("--any-build", "with --report or --minidump alone: a stored version of another build is taken"));
  table.push_back({"db symbolize",
                   {"db symbolize PROJECT VERSION [OPTIONS] ADDRESS...",
                    "db symbolize PROJECT VERSION [OPTIONS] --report FILE",
                    "db symbolize [OPTIONS] --report FILE",
                    "db symbolize [OPTIONS] --minidump DUMP"},
                   "symbolize on a stored version (the project names the module), or on the stored builds a "
                   "report or a dump names.",
                   dbSymbolize});
  table.push_back({"db export-breakpad",
                   {"db export-breakpad [OPTIONS] OUTDIR [PROJECT [VERSION]]"},
                   "Writes the Breakpad symbol file of every stored build, or of those named, as "
                   "OUTDIR/NAME/ID/NAME.sym.",
                   {Flag("--sentry", "an id of its own for a module without CodeView record (needs .build files)"),
                    NoDemangle()}});
  table.push_back({"db export-pdb",
                   {"db export-pdb [OPTIONS] OUTDIR [PROJECT [VERSION]]"},
                   "Writes the PDB of every stored build that keeps its image, or of those named, and the image "
                   "bound to it, in a symbol server's layout.",
                   {NoDemangle()}});

  table.push_back({"breakpad",
                   {"breakpad MAPFILE [OPTIONS]"},
                   "Writes Breakpad's symbol file (.sym) of the MAP file's module to standard output or FILE.",
                   {Value("--module", "NAME", "a name", "the module's file name (without extension: NAME.exe)"),
                    Value("--image", "FILE", "a file",
                          "the module's executable: its machine, CodeView record and code id"),
                    Flag("--sentry", "an id of its own for a module without CodeView record (needs --image)"),
                    Value("-o", "FILE", "a file", "writes FILE instead of standard output"),
                    Flag("--force", "writes the file even when the MAP file names no function"), NoDemangle()}});
  table.push_back({"pdb",
                   {"pdb MAPFILE [OPTIONS]"},
                   "Writes the program database (.pdb) of the MAP file's module.",
                   {Value("--image", "EXE", "a file",
                          "the module's executable: its sections, machine, TimeDateStamp and CodeView identity"),
                    Value("--module", "NAME", "a name", "the PDB is NAME.pdb beside MAPFILE"),
                    Value("-o", "FILE", "a file", "writes FILE (default: MAPFILE with .pdb)"),
                    Value("--bind", "OUT", "a file",
                          "also writes OUT, a copy of EXE whose CodeView record names the PDB (needs --image)"),
                    Flag("--force",
                         "writes the PDB even when the MAP file names no function; with --bind: binds a signed "
                         "executable or one with data after its last section"),
                    NoDemangle()}});
  return table;
}

const Option* FindOption(const Command& command, std::string_view name) {
  for (const Option& option : command.options)
    if (name == option.name) return &option;
  return nullptr;
}

// text wrapped to lines of at most `width` characters, each after `indent`
// spaces but the first (which continues a line already begun).
void PrintWrapped(std::ostream& out, std::string_view text, std::size_t indent, std::size_t column) {
  constexpr std::size_t kWidth = 79;
  while (!text.empty()) {
    std::size_t take = text.size();
    if (column + take > kWidth) {
      const std::size_t room = kWidth > column ? kWidth - column : 0;
      const std::size_t space = text.rfind(' ', room);
      take = space == std::string_view::npos || space == 0 ? text.find(' ') : space;
      if (take == std::string_view::npos) take = text.size();
    }
    out << text.substr(0, take) << '\n';
    text.remove_prefix(take);
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    if (!text.empty()) out << std::string(indent, ' ');
    column = indent;
  }
}

std::string Shown(const Option& option) {
  return option.TakesValue() ? std::string(option.name) + " " + option.metavar : std::string(option.name);
}

}  // namespace

const std::vector<Command>& CommandTable() {
  static const std::vector<Command> table = MakeTable();
  return table;
}

const Command* FindCommand(std::string_view name) {
  for (const Command& command : CommandTable())
    if (name == command.name) return &command;
  return nullptr;
}

bool ParsedArgs::Has(std::string_view name) const {
  return std::any_of(options.begin(), options.end(), [&](const auto& given) { return name == given.first->name; });
}

std::optional<std::string> ParsedArgs::Value(std::string_view name) const {
  std::optional<std::string> value;
  for (const auto& [option, given] : options)
    if (name == option->name) value = given;
  return value;
}

std::vector<std::string> ParsedArgs::Values(std::string_view name) const {
  std::vector<std::string> values;
  for (const auto& [option, given] : options)
    if (name == option->name) values.push_back(given);
  return values;
}

int ParseArgs(const Command& command, const Args& args, ParsedArgs& parsed, std::ostream& err, bool leadingOnly) {
  const std::string prefix = std::string(command.name) + ": ";
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || !IsOption(arg)) {
      if (leadingOnly && !optionsEnded) {
        parsed.operands.insert(parsed.operands.end(), args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
        break;
      }
      parsed.operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      if (leadingOnly) {
        parsed.operands.insert(parsed.operands.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
        break;
      }
      continue;
    }
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const Option* option = FindOption(command, name);
    if (!option) return UsageError(err, prefix + "unknown option \"" + arg + "\"");
    std::string value;
    if (!option->TakesValue()) {
      if (equals != std::string::npos) return UsageError(err, prefix + name + " takes no value");
    } else {
      if (equals != std::string::npos) {
        value = arg.substr(equals + 1);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      }
      if (value.empty() || (option->valid && !option->valid(value)))
        return UsageError(err, prefix + name + " needs " + option->needs);
    }
    parsed.options.emplace_back(option, std::move(value));
  }
  return kExitOk;
}

namespace {

// The options in two columns, names and help lines.
void PrintOptions(const std::vector<Option>& options, std::ostream& out) {
  std::size_t width = 0;
  for (const Option& option : options) width = std::max(width, Shown(option).size());
  for (const Option& option : options) {
    const std::string shown = Shown(option);
    out << "  " << shown << std::string(width + 2 - shown.size(), ' ');
    const std::string help = std::string(option.help) + (option.repeatable ? " (repeatable)" : "");
    PrintWrapped(out, help, width + 4, width + 4);
  }
}

}  // namespace

void PrintCommandHelp(const Command& command, std::ostream& out) {
  const std::string self = "quillfen-cli ";
  for (std::size_t i = 0; i < command.synopsis.size(); ++i) {
    const std::string start = (i == 0 ? "Usage: " : "       ") + self;
    out << start;
    PrintWrapped(out, command.synopsis[i], start.size() + 2, start.size());
  }
  out << '\n';
  PrintWrapped(out, command.summary, 0, 0);
  if (!command.options.empty()) out << "\nOptions:\n";
  PrintOptions(command.options, out);
  // A subcommand: its command's own options, which go before it.
  const std::string_view name = command.name;
  if (const std::size_t space = name.find(' '); space != std::string_view::npos) {
    const Command* parent = FindCommand(name.substr(0, space));
    if (parent && !parent->options.empty()) {
      out << "\nOptions of " << parent->name << ", before the subcommand:\n";
      PrintOptions(parent->options, out);
    }
  }
  // db: its subcommands, each by its first form.
  const std::string sub = std::string(command.name) + " ";
  bool first = true;
  for (const Command& other : CommandTable()) {
    if (std::string_view(other.name).substr(0, sub.size()) != sub) continue;
    if (first) out << "\nSubcommands (quillfen-cli help " << command.name << " SUBCOMMAND for each):\n";
    first = false;
    out << "  " << self;
    PrintWrapped(out, other.synopsis.front(), self.size() + 4, self.size() + 2);
  }
  out << "\nThe whole help: quillfen-cli --help\n";
}

void PrintOptionList(std::ostream& out) {
  for (const Command& command : CommandTable())
    for (const Option& option : command.options) out << command.name << ' ' << option.name << '\n';
}

}  // namespace qf::cli
