// quillfen-cli: the line table, the symbol map and the MAP database from the
// command line.
#include <algorithm>
#include <iostream>

#include "AnsiCodePage.h"
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

  quillfen-cli symbolize MAPFILE [OPTIONS] ADDRESS...
  quillfen-cli symbolize MAPFILE [OPTIONS] --report FILE
  quillfen-cli symbolize MAPFILE [--module NAME] [--scan] [--all-threads]
                         [--native] [--image FILE]... [--images DIR] [--json]
                         --minidump DUMP
      Reads MAPFILE's segments, units, public functions and line numbers and
      prints one line per address:
        0x004E6446 FUNCTION+0x46 (UNIT) SOURCE:LINE
        0x00000010 (not in code)
      with ?? for an unknown function, unit or line. The address shown is the
      one in the MAP file's own layout (at its preferred image base).
      An ADDRESS is hexadecimal, with or without 0x or $ (0x004E6446,
      $004E6446, 4E6446), read in the MAP file's layout, or MODULE+0xRVA
      (Project1.exe+0xE6446), an offset from the module's base. The MAP file
      belongs to one module: NAME of --module (with or without extension),
      else the module named like the MAP file (App.map: App.exe, App.dll,
      App.bpl); a MODULE+0xRVA of another module is named as such (exit
      status 1), and skipped in a report. An ADDRESS of - reads addresses
      from standard input, one per line (a line that is not an address is
      reported on standard error and makes the exit status 1).
      Options:
        --rva              every address is an offset from the module's base
                           (an RVA, as the "Fault offset" of a Windows
                           Application Error event)
        --base ADDR        the module was loaded at ADDR when it crashed (a
                           DLL, a package or a program moved by ASLR): an
                           address A is read as A - ADDR + the preferred image
                           base
        --image-base ADDR  the preferred image base, instead of the one read
                           from the file (0x400000 for an old-style MAP file)
        --report FILE      reads a crash report (FILE, or - for standard input;
                           text, or UTF-16 as the event viewer saves it) and
                           prints every address it mentions that lies in code,
                           each once, in order: runs of 8 or 16 hexadecimal
                           digits (optionally after 0x or $), MODULE+0xRVA, and
                           the RVA after "Fault offset: 0x" (when the event's
                           "Faulting module name" is the MAP file's module)
        --module NAME      the module the MAP file belongs to
        --minidump DUMP    reads a Windows minidump and walks the crashed
                           thread's stack: by the chain of frame pointers,
                           and where --image gives a module's executable, by
                           its unwind tables (x64) or an analysis of its code
                           (x86, see --image); prints a line naming the
                           exception, then one line per frame:
                             #N 0xADDRESS MODULE+0xOFFSET FUNCTION+0xN (UNIT)
                             SOURCE:LINE
                           the MAP file's module read at its load base in the
                           dump, other modules named only, ?? outside every
                           module; addresses of 8 digits (16 in a 64-bit dump);
                           a caller frame (a return address) is named by its
                           address - 1, the call, and printed as it is; the
                           dump is read in place (a dump of several GB in a
                           few MB)
        --scan             with --minidump: also every stack word that points
                           into code (marked [scan])
        --all-threads      with --minidump: every thread, not only the crashed
                           one (a dump without an exception: always)
        --native           with --minidump: a 64-bit dump of a 32-bit process
                           (WOW64) shown as its 64-bit threads, stopped in
                           the WOW64 layer, instead of its 32-bit view
        --image FILE       with --minidump: the executable of a module of the
                           dump (repeatable), used only when its TimeDateStamp
                           and SizeOfImage are the module's: x64 frames are
                           then unwound by its unwind tables (found by
                           unwind); x86 frames are found by an analysis of
                           its code (found by analysis): every path from the
                           start of the frame's function (its MAP file's
                           public, else the image's exports) is followed to
                           the frame's instruction, keeping the stack height
                           and the saved registers through pushes, pops,
                           frame setups, calls (and what callees pop),
                           branches and switch tables, and the code is read
                           forward to the function's return, which gives the
                           return address and the caller's registers; where
                           it does not know, the frame pointer, then a scan
                           of a few words above ESP; and a scanned word counts
                           only after a call instruction of its code
        --images DIR       with --minidump: a folder searched for the
                           executable of each module by its file name
        --json             JSON Lines: one object per address with the keys
                           address, segment, unit, function, function_offset,
                           file and line (null where unknown), and
                           linkage_name, the linker's name, where function
                           is not it; with --minidump one object: exception,
                           modules, frames (and threads with --all-threads)
        --no-demangle      names C++ functions by the linker's mangled names
                           (@TForm1@Button11Click$qqrp14System@TObject); by
                           default a Borland or Itanium (_Z...) mangled name
                           is shown readable: __fastcall
                           TForm1::Button11Click(System::TObject *)
        --short-names      the readable name without parameters and calling
                           convention: TForm1::Button11Click
      Exit status: 0 when every address lies in code (with --report: when the
      report holds at least one; with --minidump: when a frame was answered
      from the MAP file), 1 otherwise, 2 for a usage error or a file that
      cannot be read, is not a minidump or a MAP file without a segment table
      (Start Length Name Class), or a module that is not in the dump.
      Use lookup for the exact answer of Quillfen's window; symbolize also
      names the function and unit, reads .itext, relocated modules, 64-bit
      MAP files and whole reports.

  quillfen-cli db [--db DIR] SUBCOMMAND ...
      The MAP database: a folder "db" beside quillfen-cli (or DIR, given right
      after the word db) with one folder per project and one VERSION.map file
      per version.
        projects                  the projects, one a line, in the folder's order
        versions PROJECT          the project's versions as listed (lower case,
                                  with .map), in the folder's order
        versions --builds PROJECT each version with the identity of its build
                                  (module, machine, KEY, file version, SHA-256)
                                  or "(no .build file)"
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
        add-build [--project NAME] [--no-image] EXE [MAPFILE]
                                  add with VERSION the file version of the
                                  Windows executable EXE (a program, a .dll or
                                  a .bpl; 32 or 64-bit, from its
                                  version resource, e.g. 1.4.0.12), PROJECT its
                                  name without extension (App.exe: App) unless
                                  --project is given, and MAPFILE or else the
                                  .map beside EXE with its name; beside it
                                  PROJECT/VERSION.build keeps the build's
                                  identity (machine, TimeDateStamp, SizeOfImage,
                                  the symbol-server key KEY, file version,
                                  SHA-256); a version stored for another build
                                  takes this one as VERSION-KEY, an executable
                                  without a version resource is stored as KEY;
                                  the executable itself is kept as
                                  PROJECT/VERSION.exe (.dll, .bpl: its own
                                  extension) for db symbolize --minidump, unless
                                  --no-image; a file that is not an executable
                                  is an error (exit 2) and nothing is stored
        lookup PROJECT VERSION ADDRESS...
                                  lookup on the stored version (VERSION with or
                                  without .map); the status line reads
                                  "PROJECT vVERSION : Loaded successfully (N items)"
        symbolize PROJECT VERSION [OPTIONS] ADDRESS...
        symbolize PROJECT VERSION [OPTIONS] --report FILE
                                  symbolize on the stored version; the MAP
                                  file belongs to the module named PROJECT
        symbolize [OPTIONS] [--build-version X.Y.Z.W] [--any-build]
                  --report FILE
                                  symbolize a report on the stored version it
                                  names: the project is the report's first
                                  NAME.exe, the version the first X.Y.Z.W after it
                                  (or --build-version); an event's "time stamp:
                                  0x..." picks the stored build of that version
                                  and time stamp, and a stored build of another
                                  time stamp is refused unless --any-build; says
                                  on standard error which it used; when that
                                  version is not stored lists the project's
                                  versions and exits with 1
        symbolize [--build-version X.Y.Z.W] [--any-build] [--scan]
                  [--all-threads] [--native] [--image FILE]... [--images DIR]
                  [--json]
                  --minidump DUMP
                                  symbolize --minidump with every module of the
                                  dump whose name (without extension) is a
                                  project with a stored build of the module's
                                  identity (TimeDateStamp and SizeOfImage), else
                                  a stored version of its file version that has
                                  no .build file (said to be unchecked), or with
                                  --any-build one of another build (with a
                                  warning); --build-version for the program, the
                                  first module, when it has no version; each at
                                  its own load base; a module that holds a frame
                                  but gets no MAP file is named on standard
                                  error with the identity looked for and the
                                  reason; --native, --image and --images as
                                  for symbolize
        export-breakpad [--sentry] [--no-demangle] OUTDIR [PROJECT [VERSION]]
                                  writes the Breakpad symbol file (see breakpad)
                                  of every stored build, or of those named, as
                                  OUTDIR/NAME/ID/NAME.sym (NAME: the PDB's name
                                  with .sym for .pdb, else the module's file
                                  name; ID: the CodeView GUID and age, else 33
                                  zeros), the identity from the build's .build
                                  file and the image stored beside its MAP file;
                                  a file with the same content is left as it
                                  was; prints each file written, then
                                  "N files written, M files left as they were";
                                  --sentry and --no-demangle as for breakpad
                                  (--sentry: every build needs a .build file)
        export-pdb [--no-demangle] OUTDIR [PROJECT [VERSION]]
                                  writes the PDB (see pdb) of every stored build
                                  that keeps its image, or of those named, as
                                  OUTDIR/NAME.pdb/ID/NAME.pdb (ID: GUID and age),
                                  and the image bound to it as
                                  OUTDIR/NAME.exe/KEY/NAME.exe (its own name and
                                  extension; KEY: TimeDateStamp %08X and
                                  SizeOfImage %x, those of the stored image): a
                                  symbol server's layout (the bound copy is for
                                  debuggers: a signature is dropped); a build
                                  without its image is named on standard error
                                  and left out; files written and kept as for
                                  export-breakpad; --no-demangle as for pdb
      Project and version names are matched without regard to case. A name that
      is empty, "." or "..", or holds "\", "/" or ":" is refused.

  quillfen-cli breakpad MAPFILE [--module NAME] [--image FILE] [--sentry]
                        [-o FILE] [--no-demangle]
      Writes Breakpad's symbol file (.sym) of the MAP file's module, for
      crash services built on Breakpad's format (Sentry, Socorro, ...), to
      standard output or FILE: MODULE, INFO CODE_ID, FILE, one FUNC per
      function with its line records, in which every address of code inside
      a unit gets symbolize's function, file and line.
      Options:
        --module NAME      the module's file name (App.exe, Lib.dll); without
                           an extension, the MAP file's module is taken for a
                           program (NAME.exe)
        --image FILE       the module's executable: x86 or x86_64, the
                           CodeView record (the id Breakpad matches: the PDB's
                           GUID and age and its name; else 33 zeros and the
                           module's file name) and INFO CODE_ID (TimeDateStamp
                           and SizeOfImage)
        --sentry           a module without CodeView record gets an id of its
                           own made from its code id and its image's SHA-256
                           (Sentry refuses an id of zeros); needs --image
        -o FILE            writes FILE instead of standard output
        --no-demangle      FUNC records name functions by the linker's
                           names, not (as by default) a mangled C++ name's
                           readable one
      Exit status: 0 when written, 2 for a usage error or a file that cannot
      be read or written.

  quillfen-cli pdb MAPFILE [--image EXE] [--module NAME] [-o FILE]
                   [--bind OUT] [--force] [--no-demangle]
      Writes the program database (.pdb, MSF 7.00) of the MAP file's module
      for debuggers, profilers and dbghelp (WinDbg, Visual Studio, ...): one
      module per unit, a procedure and a public symbol per function and the
      line numbers, answering every address of code inside a unit as
      symbolize does. x86 or x64 as the image (else the MAP file) is.
      Options:
        --image EXE        the module's executable: its sections, machine and
                           TimeDateStamp; when it has a CodeView record, the
                           PDB takes its GUID and age (else a GUID made from
                           the bytes of EXE and MAPFILE, age 1)
        --module NAME      the PDB is named NAME.pdb (NAME without extension)
                           beside MAPFILE instead of after MAPFILE
        -o FILE            writes FILE (default: MAPFILE with .pdb)
        --bind OUT         also writes OUT, a copy of EXE (needs --image) whose
                           CodeView record names the PDB (its file name, GUID
                           and age); OUT may be EXE itself; when EXE cannot be
                           bound, says why and writes nothing (exit status 1)
        --force            with --bind: binds a signed executable (the
                           signature dropped: sign the copy again) or one with
                           data after its last section (kept, moved along)
        --no-demangle      the procedures take the linker's names, not (as by
                           default) a mangled C++ name's readable one; the
                           publics always keep the linker's names
      The same inputs give the same bytes. Exit status: 0 when written, 1 when
      the executable cannot be bound, 2 for a usage error or a file that
      cannot be read or written.

  quillfen-cli --help      Shows this text.
  quillfen-cli help COMMAND, quillfen-cli COMMAND --help
                           Shows that command's usage and options (for db:
                           help db SUBCOMMAND, db SUBCOMMAND --help).
  quillfen-cli --version   Shows the program's version.

Exit status: 0 when the file loaded and every address was found; 1 otherwise;
2 for a usage error or a MAP file that cannot be read (the error goes to
standard error and nothing to standard output). db lookup exits as lookup,
db symbolize as symbolize; the other db subcommands exit with 0 on success,
1 when an add is refused and 2 for a usage error or a MAP file that cannot be
read. Errors on standard error start with "quillfen-cli: "; an argument that
starts with "-" (other than - alone) is an option, and an unknown one is a
usage error. An option's value follows it as the next argument or after "="
(--module NAME, --module=NAME). "--" ends the options: every argument after
it is an operand (an address or a name), even one that starts with "-".
)USAGE";
}

namespace {

std::string Joined(const Args& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

// The command named by words ("db", "add-build"), or nullptr.
const Command* CommandNamed(const Args& words) {
  if (words.empty() || words.size() > 2 || IsOption(words[0])) return nullptr;
  return FindCommand(Joined(words));
}

// The command whose usage "COMMAND --help" asks for: --help as the first
// argument of a command, or of a db subcommand (db [--db DIR] SUBCOMMAND
// --help); else nullptr.
const Command* HelpAsked(const std::string& command, const Args& args) {
  if (IsOption(command)) return nullptr;
  if (!args.empty() && args[0] == "--help") return CommandNamed({command});
  if (command != "db") return nullptr;
  std::size_t at = 0;
  if (at < args.size() && args[at] == "--db") at += 2;
  else if (at < args.size() && args[at].rfind("--db=", 0) == 0) at += 1;
  if (at + 1 < args.size() && args[at + 1] == "--help") return CommandNamed({"db", args[at]});
  if (at < args.size() && args[at] == "--help") return CommandNamed({"db"});
  return nullptr;
}

}  // namespace

}  // namespace qf::cli

int main(int argc, char** argv) {
  using namespace qf::cli;
  qf::UseSystemCodePage();
  // The standard streams with buffers of their own: standard input is read
  // in large pieces, not one character at a time through C's streams.
  std::ios::sync_with_stdio(false);
  Args args(argv + 1, argv + argc);
  if (args.empty()) return UsageError(std::cerr, "a command is needed");
  const std::string command = args.front();
  args.erase(args.begin());
  if (command == "help" && args.size() == 1 && args[0] == "--options") {
    PrintOptionList(std::cout);
    return kExitOk;
  }
  if (command == "help" && !args.empty() && !IsOption(args[0])) {
    const Command* help = CommandNamed(args);
    if (!help) return UsageError(std::cerr, "help: unknown command \"" + Joined(args) + "\"");
    PrintCommandHelp(*help, std::cout);
    return kExitOk;
  }
  // COMMAND --help shows the command's usage; --help anywhere else before
  // "--", the whole text; --version only as the command.
  if (const Command* help = HelpAsked(command, args)) {
    PrintCommandHelp(*help, std::cout);
    return kExitOk;
  }
  const auto optionsEnd = OptionsEnd(args);
  if (command == "help" || command == "--help" || command == "-h" ||
      std::find(args.begin(), optionsEnd, "--help") != optionsEnd) {
    std::cout << UsageText();
    return kExitOk;
  }
  if (command == "--version") {
    if (!args.empty()) return UsageError(std::cerr, "--version takes no arguments");
    std::cout << "quillfen-cli " QF_VERSION "\n";
    return kExitOk;
  }
  if (command == "lookup") return RunLookup(args, std::cin, std::cout, std::cerr);
  if (command == "symbolize") return RunSymbolize(args, std::cin, std::cout, std::cerr);
  if (command == "db") return RunDb(args, std::cin, std::cout, std::cerr);
  if (command == "breakpad") return RunBreakpad(args, std::cin, std::cout, std::cerr);
  if (command == "pdb") return RunPdb(args, std::cin, std::cout, std::cerr);
  if (IsOption(command)) return UsageError(std::cerr, "unknown option \"" + command + "\"");
  return UsageError(std::cerr, "unknown command \"" + command + "\"");
}
