// quillfen-cli db: the MAP database store from the command line, with the
// browser's listings, its add flow and its load.
#include <algorithm>
#include <iostream>
#include <iterator>
#include <regex>
#include <sstream>

#include "Commands.h"
#include "base/Errors.h"
#include "ExePath.h"
#include "base/PathRules.h"
#include "image/PeVersion.h"
#include "base/TextRules.h"
#include "db/U_MAPDb.h"
#include "map/U_MAPFile.h"

namespace qf::cli {
namespace {

constexpr int kExitRefused = 1;  // a failure of the add flow, worded as the browser does

// The folder "db" beside this executable.
std::string DefaultRoot() { return ExtractFilePath(ExecutablePath()) + "db"; }

int Usage(std::ostream& err, const std::string& problem) { return UsageError(err, "db: " + problem); }

void PrintList(const std::vector<std::string>& list, std::ostream& out) {
  for (const std::string& name : list) out << name << '\n';
}

// What the browser's tree shows: projects in the reverse of the listed
// order, only those with versions, each followed by its versions.
void PrintTree(const TMapDB& db, std::ostream& out) {
  std::vector<std::string> projects, versions;
  db.GetProjects(projects);
  std::reverse(projects.begin(), projects.end());
  for (const std::string& project : projects) {
    db.GetVersions(project, versions);
    if (versions.empty()) continue;
    out << project << '\n';
    for (const std::string& version : versions) out << "  " << version << '\n';
  }
}

// The browser's add flow: the file check, the two names, then the store.
int Add(const TMapDB& db, const std::string& project, const std::string& version, const std::string& mapFile,
        std::ostream& out, std::ostream& err) {
  {
    TMapFile check;
    try {
      check.Load(mapFile);
    } catch (const Exception& e) {
      PrintException(err, e);
      return kExitUsage;
    }
    if (!check.Loaded()) {
      PrintError(err, "Invalid MAP file");
      return kExitRefused;
    }
  }
  if (project.empty()) {
    PrintError(err, "Invalid project name");
    return kExitRefused;
  }
  if (version.empty()) {
    PrintError(err, "Invalid version name");
    return kExitRefused;
  }
  if (!db.CreateProject(project)) {
    PrintError(err, "Unable to create folder : " + project);
    return kExitRefused;
  }
  if (db.VersionExists(project, version)) {
    PrintError(err, "This version already exists");
    return kExitRefused;
  }
  const std::string stored = db.GetVersionPath(project, version) + ".map";
  if (!db.AddVersion(project, version, mapFile)) {
    PrintError(err, "Unable to create file : " + stored);
    return kExitRefused;
  }
  out << stored << '\n';
  return kExitOk;
}

// A version given with or without ".map".
std::string VersionName(std::string version) {
  if (version.size() >= 4 && SameText(version.substr(version.size() - 4), ".map")) version.resize(version.size() - 4);
  return version;
}

// The browser's load of a version: the stored file, and the status prefixed
// with "PROJECT vVERSION".
int Lookup(const TMapDB& db, const Args& args, std::istream& in, std::ostream& out, std::ostream& err) {
  const std::string& project = args[0];
  const std::string version = VersionName(args[1]);
  const Args addresses(args.begin() + 2, args.end());
  return PrintLookup(db.GetVersionPath(project, version + ".map"), project + " v" + version, addresses, in, out,
                     err);
}

// The executable's file version read from its version resource, the project
// named after it (or given) and the MAP file beside it (or given), then the
// add flow. A file that is not a PE image or has no version stores nothing.
int AddBuild(const TMapDB& db, const std::string& projectGiven, const Args& args, std::ostream& out,
             std::ostream& err) {
  const std::string& exe = args[0];
  PeFileVersion version;
  try {
    version = ReadPeFileVersionOfFile(exe);
  } catch (const Exception& e) {
    PrintException(err, e);
    return kExitUsage;
  }
  if (version.status == PeFileVersion::NotPeImage) {
    PrintError(err, "\"" + exe + "\" is not a Windows executable (no PE image)");
    return kExitUsage;
  }
  if (version.status == PeFileVersion::NoVersionResource) {
    PrintError(err, "\"" + exe + "\" has no version resource; store its MAP file with db add");
    return kExitUsage;
  }
  const std::string name = ExtractFileName(exe);
  const std::string ext = ExtractFileExt(name);
  const std::string base = name.substr(0, name.size() - ext.size());
  const std::string project = projectGiven.empty() ? base : projectGiven;
  const std::string mapFile =
      args.size() > 1 ? args[1] : exe.substr(0, exe.size() - ext.size()) + ".map";
  return Add(db, project, version.Text(), mapFile, out, err);
}

// The module (NAME.exe) a crash report names first and the first version of
// four numbers within the text that follows it.
struct ReportBuild {
  std::string module;
  std::string project;
  std::string version;
};

std::optional<ReportBuild> FindReportBuild(const std::string& text, const std::string& versionGiven) {
  static const std::regex kModule(R"(([A-Za-z0-9_$~#@!&%+\-][A-Za-z0-9_$~#@!&%+\-. ]*?)\.[eE][xX][eE](?![A-Za-z0-9_]))");
  static const std::regex kVersion(R"((^|[^0-9.])([0-9]{1,5}\.[0-9]{1,5}\.[0-9]{1,5}\.[0-9]{1,5})(?![0-9.]))");
  std::smatch module;
  if (!std::regex_search(text, module, kModule)) return std::nullopt;
  ReportBuild build;
  // The name's last word (a report writes "Faulting application name: App.exe").
  std::string stem = module[1].str();
  const std::size_t space = stem.find_last_of(' ');
  if (space != std::string::npos) stem = stem.substr(space + 1);
  if (stem.empty()) return std::nullopt;
  build.project = stem;
  build.module = stem + module.str().substr(module.str().size() - 4);
  if (!versionGiven.empty()) {
    build.version = versionGiven;
    return build;
  }
  const std::string after = text.substr(module.position(0) + module.length(0), 200);
  std::smatch version;
  if (std::regex_search(after, version, kVersion)) build.version = version[2].str();
  return build;
}

// db symbolize --report FILE without PROJECT and VERSION: the project named
// after the report's module and the stored version equal to the report's.
int SymbolizeReportBuild(const TMapDB& db, SymbolizeOptions options, const std::string& versionGiven,
                         std::istream& in, std::ostream& out, std::ostream& err) {
  std::string text;
  try {
    text = *options.report == "-" ? std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>())
                                  : PlatformFileSystem().ReadWholeFile(*options.report);
  } catch (const Exception& e) {
    PrintException(err, e);
    return kExitUsage;
  }
  const std::optional<ReportBuild> build = FindReportBuild(text, versionGiven);
  if (!build) {
    PrintError(err, "db symbolize: the report names no module (NAME.exe); give PROJECT VERSION");
    return kExitNotAllFound;
  }
  if (build->version.empty()) {
    PrintError(err, "db symbolize: the report gives no version of " + build->module +
                        "; give --build-version X.Y.Z.W or PROJECT VERSION");
    return kExitNotAllFound;
  }
  std::vector<std::string> versions;
  db.GetVersions(build->project, versions);
  const auto stored = std::find_if(versions.begin(), versions.end(),
                                   [&](const std::string& v) { return SameText(v, build->version + ".map"); });
  if (stored == versions.end()) {
    PrintError(err, "db symbolize: no stored version " + build->version + " of project " + build->project +
                        (versions.empty() ? " (it has no stored versions)" : "; stored versions:"));
    for (const std::string& v : versions) err << "  " << VersionName(v) << '\n';
    return kExitNotAllFound;
  }
  const std::string version = VersionName(*stored);
  err << "quillfen-cli: db symbolize: project " << build->project << ", version " << version << " (" << build->module
      << ")\n";
  std::istringstream report(text);
  options.report = "-";
  options.module = build->project;
  return SymbolizeFile("db symbolize", db.GetVersionPath(build->project, version + ".map"), options, {}, report,
                       out, err);
}

}  // namespace

int RunDb(const Args& argsIn, std::istream& in, std::ostream& out, std::ostream& err) {
  Args args = argsIn;
  std::string root;
  bool rootGiven = false;
  if (!args.empty() && args[0] == "--db") {
    if (args.size() < 2) return Usage(err, "--db needs a folder");
    root = args[1];
    rootGiven = true;
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) return Usage(err, "a subcommand is needed");
  const std::string command = args[0];
  args.erase(args.begin());
  // symbolize takes its options anywhere after the word; the others take none.
  SymbolizeOptions symbolizeOptions;
  std::string projectGiven, versionGiven;
  // Options of our own, taken out before the common ones are checked.
  const auto takeOption = [&args](const std::string& option, std::string& value) {
    const auto end = OptionsEnd(args);
    const auto at = std::find(args.begin(), end, option);
    if (at == end) return true;
    if (at + 1 == end || (at + 1)->empty()) return false;
    value = *(at + 1);
    args.erase(at, at + 2);
    return true;
  };
  if (command == "add-build" && !takeOption("--project", projectGiven)) return Usage(err, "--project needs a name");
  if (command == "symbolize" && !takeOption("--build-version", versionGiven))
    return Usage(err, "--build-version needs a version");
  if (command == "symbolize") {
    Args operands;
    if (const int status = ParseSymbolizeArgs("db symbolize", args, symbolizeOptions, operands, err)) return status;
    if (symbolizeOptions.module) return Usage(err, "symbolize takes no --module: the project names the module");
    args = operands;
  } else if (const int status = TakeOperands("db " + command, args, err)) {
    return status;
  }
  if (!rootGiven) {
    root = DefaultRoot();
    if (root == "db") return Usage(err, "the executable's folder is unknown; give --db DIR");
  }
  if (root.empty()) return Usage(err, "--db needs a folder");

  if (command == "projects" || command == "tree") {
    if (!args.empty()) return Usage(err, command + " takes no arguments");
  } else if (command == "versions") {
    if (args.size() != 1) return Usage(err, "versions needs PROJECT");
  } else if (command == "add") {
    if (args.size() != 3) return Usage(err, "add needs PROJECT VERSION MAPFILE");
  } else if (command == "add-build") {
    if (args.size() != 1 && args.size() != 2) return Usage(err, "add-build needs EXE [MAPFILE]");
  } else if (command == "symbolize" && args.empty() && (symbolizeOptions.report || symbolizeOptions.minidump)) {
    // the project and version come from the report, the modules from the dump
  } else if (command == "lookup" || command == "symbolize") {
    if (args.size() < 2) return Usage(err, command + " needs PROJECT VERSION");
  } else {
    return Usage(err, "unknown subcommand \"" + command + "\"");
  }

  const TMapDB db(root);
  if (command == "lookup") return Lookup(db, args, in, out, err);
  if (command == "add-build") return AddBuild(db, projectGiven, args, out, err);
  if (command == "symbolize" && args.empty() && symbolizeOptions.minidump) {
    if (const int status = CheckMinidumpOptions("db symbolize", symbolizeOptions, args, err)) return status;
    return DbSymbolizeMinidump(db, symbolizeOptions, versionGiven, out, err);
  }
  if (command == "symbolize" && args.empty())
    return SymbolizeReportBuild(db, symbolizeOptions, versionGiven, in, out, err);
  if (command == "symbolize") {
    symbolizeOptions.module = args[0];  // the project names the module
    const std::string path = db.GetVersionPath(args[0], VersionName(args[1]) + ".map");
    return SymbolizeFile("db symbolize", path, symbolizeOptions, Args(args.begin() + 2, args.end()), in, out, err);
  }
  if (command == "add") return Add(db, args[0], args[1], args[2], out, err);
  std::vector<std::string> list;
  if (command == "projects") {
    db.GetProjects(list);
    PrintList(list, out);
  } else if (command == "versions") {
    db.GetVersions(args[0], list);
    PrintList(list, out);
  } else {
    PrintTree(db, out);
  }
  return kExitOk;
}

}  // namespace qf::cli
