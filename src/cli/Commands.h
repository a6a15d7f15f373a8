// The commands of quillfen-cli. Each takes its own arguments (after the
// command word) and the three streams, and returns the exit status.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OptionTable.h"
#include "SymbolizedOutput.h"
#include "db/BuildIdentity.h"
#include "export/BreakpadSymbols.h"

namespace qf {
class Exception;
class FileSystem;
class SymbolMap;
class TMapDB;
}

namespace qf::cli {

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

// symbolize MAPFILE [options] ADDRESS... | symbolize MAPFILE [options] --report FILE
int RunSymbolize(const Args& args, std::istream& in, std::ostream& out, std::ostream& err);

struct SymbolizeOptions {
  bool json = false;
  bool rva = false;                     // every plain address is an RVA
  std::optional<uint64_t> base;         // where the module was loaded
  std::optional<uint64_t> imageBase;    // the preferred base, instead of the file's
  std::optional<std::string> report;    // a crash report to scan ("-": standard input)
  std::optional<std::string> module;    // the module the MAP file belongs to (else named after it)
  std::optional<std::string> minidump;  // a minidump to walk
  bool scan = false;                    // also every stack word that points into code
  bool allThreads = false;              // every thread of the minidump
  bool native = false;                  // a 64-bit dump of a 32-bit process as 64-bit threads
  std::vector<std::string> images;      // executables of the dump's modules (--image, repeatable)
  std::optional<std::string> imagesDir; // a folder searched for them by module file name
  FunctionNames names = FunctionNames::Full;  // --no-demangle: Linker; --short-names: Short
};

// The options of symbolize (and db symbolize) as the table's parser read them.
SymbolizeOptions SymbolizeOptionsOf(const ParsedArgs& parsed);

// Loads mapFile and prints the symbolized addresses (or the report's):
// shared with "db symbolize".
int SymbolizeFile(const std::string& command, const std::string& mapFile, const SymbolizeOptions& options,
                  const Args& addresses, std::istream& in, std::ostream& out, std::ostream& err);

// Prints one line per address of a loaded map (or per address of the report
// text that lies in code); returns the exit status.
int PrintSymbolized(const SymbolMap& map, const SymbolizeOptions& options, const Args& addresses,
                    const std::string* reportText, std::istream& in, std::ostream& out, std::ostream& err);

// The options that go with --minidump (and --scan, --all-threads, --native only with
// it); on a usage error prints it and returns kExitUsage, else kExitOk.
int CheckMinidumpOptions(const std::string& command, const SymbolizeOptions& options, const Args& addresses,
                         std::ostream& err);

// symbolize MAPFILE --minidump DUMP: the frames of the dump, those of the
// MAP file's module answered from it at the module's load base.
int SymbolizeMinidump(const std::string& command, const std::string& mapFile, const std::string& module,
                      const SymbolizeOptions& options, std::ostream& out, std::ostream& err);

// db symbolize --minidump DUMP: every module of the dump answered from the
// stored build of its project whose identity (TimeDateStamp, SizeOfImage) is
// the module's; else from the stored version of its file version (versionGiven
// for the program, the first module, when it has no version) when that
// version has no .build file to check, or when anyBuild takes another build.
int DbSymbolizeMinidump(const TMapDB& db, const SymbolizeOptions& options, const std::string& versionGiven,
                        bool anyBuild, std::ostream& out, std::ostream& err);

// breakpad MAPFILE [--module NAME] [--image FILE] [--sentry] [-o FILE] [--no-demangle]
int RunBreakpad(const Args& args, std::istream& in, std::ostream& out, std::ostream& err);

// pdb MAPFILE [--image EXE] [--module NAME] [-o OUT.pdb] [--bind OUT.exe] [--force] [--no-demangle]
int RunPdb(const Args& args, std::istream& in, std::ostream& out, std::ostream& err);

// db export-breakpad [--sentry] [--no-demangle] OUTDIR [PROJECT [VERSION]] (args as given, after the
// options): the stored builds' symbol files in the layout of Breakpad's symbol
// stores, OUTDIR/NAME/ID/NAME.sym.
int DbExportBreakpad(const TMapDB& db, const Args& args, bool sentry, bool demangle, std::ostream& out,
                     std::ostream& err);

// db export-pdb [--no-demangle] OUTDIR [PROJECT [VERSION]]: the stored builds' PDBs and
// bound images in the layout of Windows symbol stores,
// OUTDIR/NAME.pdb/GUIDAGE/NAME.pdb and OUTDIR/NAME.exe/STAMPSIZE/NAME.exe.
int DbExportPdb(const TMapDB& db, const Args& args, bool demangle, std::ostream& out, std::ostream& err);

// The folder root/levels[0]/levels[1]/..., made level by level where
// missing (path: as far as it got); false when a level cannot be made.
bool MakeFolders(const FileSystem& fs, const std::string& root, const std::vector<std::string>& levels,
                 std::string& path);

// A module's image file and its bytes.
struct BreakpadImage {
  std::string path;
  std::string bytes;
};

// What a module's symbol file is made from besides its MAP file.
struct BreakpadSource {
  std::string moduleName;              // its file name (App.exe)
  std::optional<BreakpadImage> image;  // identity, CodeView record, stack rules
  std::optional<BuildIdentity> build;  // a stored build's identity, when there is no image
  bool sentry = false;                 // an id of its own for a module without CodeView record
  bool demangle = true;                // FUNC records name functions by their readable names
};

// The parts of a symbol file besides the map's; error says what is missing
// (a usage error when usageError).
struct BreakpadModule {
  uint64_t imageBase = 0;
  BreakpadIdentity identity;
  std::string stackRecords;  // STACK CFI lines from the image's unwind tables
  bool demangle = true;      // as the source's
  std::string error;
  bool usageError = false;
};

BreakpadModule MakeBreakpadModule(const SymbolMap& map, const BreakpadSource& source);
// The whole symbol file.
std::string BreakpadText(const SymbolMap& map, const BreakpadModule& module);
// Writes a file through a temporary one (write gives its content), then
// moves it into place, replacing a file there; false when it cannot.
bool WriteFileReplacing(const std::string& path, const std::function<void(std::ostream&)>& write);

std::string UsageText();

// "quillfen-cli: MESSAGE" on standard error.
void PrintError(std::ostream& err, const std::string& message);
// The core's error in the command line's words ("cannot open "PATH": REASON").
void PrintException(std::ostream& err, const Exception& e);
// A usage error: the message on one line, then "Try 'quillfen-cli --help'";
// returns kExitUsage.
int UsageError(std::ostream& err, const std::string& message);
// What a MAP file of segments only lacks for functions to be named, with the
// linker setting that gives it; empty when it has publics or line numbers.
std::string MapLacks(const SymbolMap& map, const std::string& mapFile);
// "IMAGE is a 64-bit image, MAP the MAP file of a 32-bit one" when the two
// differ, else empty.
std::string BitnessProblem(const std::string& image, bool image64, const std::string& mapFile, bool map64);
// The system's words for an errno value ("Permission denied").
std::string SystemReason(int error);
// Writes like WriteFileReplacing; on failure reason holds the system's words.
bool WriteFileReplacing(const std::string& path, const std::function<void(std::ostream&)>& write,
                        std::string& reason);
// An argument that names an option: "-" followed by anything ("-" alone is
// standard input).
bool IsOption(const std::string& arg);
// The first "--" of args: it ends the options, what follows is operands.
Args::iterator OptionsEnd(Args& args);

}  // namespace qf::cli
