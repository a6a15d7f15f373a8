// quillfen-cli db: the MAP database store from the command line, with the
// browser's listings, its add flow and its load.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <iostream>
#include <iterator>
#include <regex>
#include <sstream>

#include "Commands.h"
#include "base/Errors.h"
#include "ExePath.h"
#include "base/NumberText.h"
#include "base/PathRules.h"
#include "StoredBuilds.h"
#include "base/Sha256.h"
#include "db/BuildIdentity.h"
#include "crash/CrashReport.h"
#include "crash/ModuleName.h"
#include "db/StoreNames.h"
#include "image/PeImage.h"
#include "image/PeVersion.h"
#include "base/TextRules.h"
#include "db/U_MAPDb.h"
#include "map/SymbolMap.h"
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
  std::vector<std::string> projects = SortedProjects(db);
  std::reverse(projects.begin(), projects.end());
  for (const std::string& project : projects) {
    const std::vector<std::string> versions = SortedVersions(db, project);
    if (versions.empty()) continue;
    out << project << '\n';
    for (const std::string& version : versions) out << "  " << version << '\n';
  }
}

// db versions --builds: each version's file, then the identity of its
// build ("2.7.1.8.map  CrashLib.dll x64 5F1E2A3B1d000 2.7.1.8 sha256=..."),
// or "(no .build file)".
void PrintBuilds(const TMapDB& db, const std::string& project, std::ostream& out, std::ostream& err) {
  for (const StoredBuild& build : ReadStoredBuilds(db, project, "db versions", err)) {
    out << build.version << ".map  ";
    if (const auto& id = build.identity) {
      out << id->module << ' ' << id->machine << ' ' << id->CodeId() << ' '
          << (id->fileVersion ? *id->fileVersion : std::string("(no version)"));
      if (!id->sha256.empty()) out << " sha256=" << id->sha256;
    } else {
      out << "(no .build file)";
    }
    out << '\n';
  }
}

// The browser's add flow: the file check, the two names, then the store.
// buildText: the .build file stored with the MAP file (db add-build), or none.
// imageFile: the executable stored with them as VERSION + imageExtension, or none.
int Add(const std::string& command, const TMapDB& db, const std::string& projectGiven, const std::string& version,
        const std::string& mapFile, std::ostream& out, std::ostream& err, const std::optional<std::string>& buildText = std::nullopt,
        const std::string& imageFile = std::string(), const std::string& imageExtension = std::string()) {
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
  if (projectGiven.empty()) {
    PrintError(err, "Invalid project name");
    return kExitRefused;
  }
  if (version.empty()) {
    PrintError(err, "Invalid version name");
    return kExitRefused;
  }
  // The window shares the store: every name must be one Windows can hold.
  for (const auto& [what, name] : {std::pair<const char*, const std::string&>{"project", projectGiven},
                                   std::pair<const char*, const std::string&>{"version", version}}) {
    const std::string problem = WindowsNameProblem(name);
    if (!problem.empty()) {
      PrintError(err, command + ": the " + what + " name " + problem);
      return kExitRefused;
    }
  }
  // A project stored already in another case is that project.
  const std::string project = StoredProjectName(db, projectGiven);
  std::string folder = db.GetVersionPath(project, std::string());
  folder.pop_back();  // the delimiter
  if (!PlatformFileSystem().DirectoryExists(folder)) {
    std::error_code error;
    std::filesystem::create_directory(std::filesystem::u8path(folder), error);
    if (error || !db.CreateProject(project)) {
      PrintError(err, "cannot create the folder \"" + folder + "\": " +
                          (error ? error.message() : std::string("it is no folder")));
      return kExitRefused;
    }
  }
  if (db.VersionExists(project, version)) {
    PrintError(err, "This version already exists");
    return kExitRefused;
  }
  const std::string stored = db.GetVersionPath(project, version) + ".map";
  errno = 0;
  if (buildText ? !db.AddVersionWithBuild(project, version, mapFile, *buildText, imageFile, imageExtension)
                : !db.AddVersion(project, version, mapFile)) {
    PrintError(err, "cannot write \"" + stored + "\": " + SystemReason(errno));
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

// The stored version of a project as named in its folder, or none, the
// versions it has on err.
std::optional<std::string> StoredVersion(const TMapDB& db, const std::string& command, std::string& project,
                                         const std::string& version, std::ostream& err) {
  project = StoredProjectName(db, project);
  std::string list;
  for (const std::string& listed : SortedVersions(db, project)) {
    const std::string name = listed.substr(0, listed.size() - 4);
    if (SameText(name, version)) return name;
    list += (list.empty() ? "" : ", ") + name;
  }
  PrintError(err, command + ": no stored version " + version + " of project " + project +
                      (list.empty() ? " (it has no stored versions)" : "; stored versions: " + list));
  return std::nullopt;
}

// The browser's load of a version: the stored file, and the status prefixed
// with "PROJECT vVERSION".
int Lookup(const TMapDB& db, const Args& args, std::istream& in, std::ostream& out, std::ostream& err) {
  const std::string& project = args[0];
  std::string stored = project;
  const std::string version = VersionName(args[1]);
  const std::optional<std::string> listed = StoredVersion(db, "db lookup", stored, version, err);
  if (!listed) return kExitNotAllFound;
  const Args addresses(args.begin() + 2, args.end());
  // The status names the version as given, as the browser does.
  return PrintLookup(db.GetVersionPath(stored, *listed + ".map"), project + " v" + version, addresses, in, out,
                     err);
}

// The executable's identity (machine, TimeDateStamp, SizeOfImage, file
// version, SHA-256) read from its headers, the project named after it (or
// given) and the MAP file beside it (or given), then the add flow, which
// stores the identity as VERSION.build beside VERSION.map. A version stored
// already for another build takes this one as VERSION-KEY (KEY: the
// symbol-server key); an executable without a version resource is stored
// as KEY. The executable itself is stored as VERSION.exe (its own
// extension) unless noImage. A file that is not a PE image stores nothing.
int AddBuild(const TMapDB& db, const std::string& projectGiven, const Args& args, bool noImage, std::ostream& out,
             std::ostream& err) {
  const std::string& exe = args[0];
  std::string bytes;
  try {
    bytes = PlatformFileSystem().ReadWholeFile(exe);
  } catch (const Exception& e) {
    PrintException(err, e);
    return kExitUsage;
  }
  const std::optional<PeImage> image = ReadPeImage(bytes);
  const PeFileVersion version = ReadPeFileVersion(bytes);
  if (!image || version.status == PeFileVersion::NotPeImage) {
    PrintError(err, "\"" + exe + "\" is not a Windows executable (no PE image)");
    return kExitUsage;
  }
  const std::string name = ExtractFileName(exe);
  const std::string ext = ExtractFileExt(name);
  const std::string base = name.substr(0, name.size() - ext.size());
  const std::string project = projectGiven.empty() ? base : projectGiven;
  const std::string mapFile =
      args.size() > 1 ? args[1] : exe.substr(0, exe.size() - ext.size()) + ".map";

  // The MAP file must be one of this image's bitness (when it can be read:
  // the add flow words the error of one that cannot).
  try {
    const SymbolMap map = SymbolMap::Load(mapFile);
    const std::string problem = BitnessProblem(exe, image->is64, mapFile, map.WideStarts());
    if (map.HasSegmentTable() && !problem.empty()) {
      PrintError(err, "db add-build: " + problem);
      return kExitUsage;
    }
  } catch (const Exception&) {
  }
  BuildIdentity identity;
  identity.module = name;
  identity.machine = std::string(image->MachineName());
  identity.timeDateStamp = image->timeDateStamp;
  identity.sizeOfImage = image->sizeOfImage;
  if (version.status == PeFileVersion::Found) identity.fileVersion = version.Text();
  identity.sha256 = Sha256Hex(bytes);
  const std::string key = identity.CodeId();

  std::string stored = identity.fileVersion ? *identity.fileVersion : key;
  if (!identity.fileVersion) {
    if (!TMapDB::IsUnsafeName(project) && !db.VersionExists(project, key))
      PrintError(err, "db add-build: \"" + exe + "\" has no version resource; its build is stored as " + key);
  } else if (!TMapDB::IsUnsafeName(project) && db.VersionExists(project, stored)) {
    // The version is there: the same build again is refused by the add flow
    // below; another build (or one whose identity is unknown) goes beside it.
    const std::vector<StoredBuild> builds = ReadStoredBuilds(db, project, "db add-build", err);
    const StoredBuild* same = FindStoredVersion(builds, stored);
    if ((!same || !same->identity || !same->identity->SameBuild(identity)) &&
        !db.VersionExists(project, stored + "-" + key)) {
      const std::string other = same && same->identity ? "another build (" + same->identity->CodeId() + ")"
                                                        : "a build whose identity is unknown (no .build file)";
      PrintError(err, "db add-build: version " + stored + " of project " + project + " is stored already for " +
                          other + "; this build is stored as " + stored + "-" + key);
    }
    if (!same || !same->identity || !same->identity->SameBuild(identity)) stored += "-" + key;
  }
  // A module without an extension the store can take keeps no image.
  const bool keepImage = !noImage && TMapDB::IsImageExtension(ext);
  return Add("db add-build", db, project, stored, mapFile, out, err, FormatBuildIdentity(identity), keepImage ? exe : std::string(),
             keepImage ? LowerCase(ext) : std::string());
}

std::string Hex8(uint32_t value) { return HexText(value, 8); }

// The module (NAME.exe) a crash report names first and the first version of
// four numbers within the text that follows it.
struct ReportBuild {
  std::string module;
  std::string project;
  std::string version;
  std::optional<uint32_t> timeDateStamp;  // an event's "time stamp: 0x..."
};

void ReadBuildAfter(const std::string& text, size_t end, const std::string& versionGiven, ReportBuild& build);

std::optional<ReportBuild> FindReportBuild(const std::string& text, const std::string& versionGiven) {
  static const std::regex kModule(R"(([A-Za-z0-9_$~#@!&%+\-][A-Za-z0-9_$~#@!&%+\-. ]*?)\.[eE][xX][eE](?![A-Za-z0-9_]))");
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
  ReadBuildAfter(text, size_t(module.position(0) + module.length(0)), versionGiven, build);
  return build;
}

// The event's faulting module ("Faulting module name: MyLib.dll, version:
// 2.0.0.0, time stamp: 0x..."), when it is not the application.
std::optional<ReportBuild> FindFaultingModule(const std::string& text, const std::string& application) {
  static const std::regex kFaulting(R"([Ff]aulting module name:[ \t]*([^,\r\n]*[^,\r\n \t]))");
  std::smatch found;
  if (!std::regex_search(text, found, kFaulting)) return std::nullopt;
  ReportBuild build;
  build.module = std::string(ModuleFileName(found[1].str()));
  build.project = std::string(WithoutExtension(build.module));
  if (build.project.empty() || SameText(build.module, application)) return std::nullopt;
  ReadBuildAfter(text, size_t(found.position(0) + found.length(0)), std::string(), build);
  return build;
}

void ReadBuildAfter(const std::string& text, size_t end, const std::string& versionGiven, ReportBuild& build) {
  static const std::regex kVersion(R"((^|[^0-9.])([0-9]{1,5}\.[0-9]{1,5}\.[0-9]{1,5}\.[0-9]{1,5})(?![0-9.]))");
  const std::string after = text.substr(end, 200);
  // An Application Error event: "..., version: 1.4.0.12, time stamp: 0x5f1e2a3b".
  static const std::regex kStamp(R"(^[^\r\n]*?time stamp: 0x([0-9A-Fa-f]{1,8})(?![0-9A-Fa-f]))");
  std::smatch stamp;
  if (std::regex_search(after, stamp, kStamp)) build.timeDateStamp = uint32_t(std::stoul(stamp[1].str(), nullptr, 16));
  if (!versionGiven.empty()) {
    build.version = versionGiven;
    return;
  }
  std::smatch version;
  if (std::regex_search(after, version, kVersion)) build.version = version[2].str();
}

// db symbolize --report FILE without PROJECT and VERSION: the project named
// after the report's module and the stored version equal to the report's.
int SymbolizeReportBuild(const TMapDB& db, SymbolizeOptions options, const std::string& versionGiven, bool anyBuild,
                         std::istream& in, std::ostream& out, std::ostream& err) {
  std::string text;
  try {
    text = ReportText(*options.report == "-"
                          ? std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>())
                          : PlatformFileSystem().ReadWholeFile(*options.report));
  } catch (const Exception& e) {
    PrintException(err, e);
    return kExitUsage;
  }
  std::optional<ReportBuild> build = FindReportBuild(text, versionGiven);
  if (!build) {
    PrintError(err, "db symbolize: the report names no module (NAME.exe); give PROJECT VERSION");
    return kExitNotAllFound;
  }
  // The fault lies in the event's faulting module: its project answers it
  // when one is stored.
  if (const std::optional<ReportBuild> faulting = FindFaultingModule(text, build->module)) {
    if (!SortedVersions(db, StoredProjectName(db, faulting->project)).empty()) {
      build = faulting;
      build->project = StoredProjectName(db, build->project);
    } else {
      PrintError(err, "db symbolize: the faulting module " + faulting->module + " has no stored project (" +
                          faulting->project + "); the application's project " + build->project + " is taken");
    }
  }
  if (build->version.empty()) {
    PrintError(err, "db symbolize: the report gives no version of " + build->module +
                        "; give --build-version X.Y.Z.W or PROJECT VERSION");
    return kExitNotAllFound;
  }
  const std::vector<StoredBuild> builds = ReadStoredBuilds(db, build->project, "db symbolize", err);
  // The build the event's time stamp names, of the report's version (the
  // stamp alone does not tell builds apart: before Delphi 2006 they share
  // one); else the stored version of that name, checked where it can be.
  const StoredBuild* chosen = nullptr;
  std::string unchecked;
  if (build->timeDateStamp) {
    for (const StoredBuild& stored : builds)
      if (!chosen && stored.identity && stored.identity->timeDateStamp == *build->timeDateStamp &&
          stored.identity->fileVersion && SameText(*stored.identity->fileVersion, build->version))
        chosen = &stored;
  }
  if (!chosen) {
    chosen = FindStoredVersion(builds, build->version);
    if (!chosen) {
      PrintError(err, "db symbolize: no stored version " + build->version + " of project " + build->project +
                          (builds.empty() ? " (it has no stored versions)" : "; stored versions:"));
      for (const StoredBuild& stored : builds) err << "  " << stored.version << '\n';
      return kExitNotAllFound;
    }
    if (!build->timeDateStamp) {
      // A report without a time stamp names no build: the version decides.
    } else if (!chosen->identity) {
      unchecked = "; the build could not be checked (no .build file)";
    } else if (!anyBuild) {
      PrintError(err, "db symbolize: version " + chosen->version + " of project " + build->project +
                          " is stored for another build (time stamp 0x" + Hex8(chosen->identity->timeDateStamp) +
                          ", the report's 0x" + Hex8(*build->timeDateStamp) + "); --any-build takes it");
      return kExitNotAllFound;
    } else {
      unchecked = "; another build (time stamp 0x" + Hex8(chosen->identity->timeDateStamp) + ", the report's 0x" +
                  Hex8(*build->timeDateStamp) + ") taken by --any-build";
    }
  }
  const std::string version = chosen->version;
  err << "quillfen-cli: db symbolize: project " << build->project << ", version " << version << " (" << build->module
      << ")" << unchecked << "\n";
  std::istringstream report(text);
  options.report = "-";
  options.module = build->project;
  return SymbolizeFile("db symbolize", db.GetVersionPath(build->project, version + ".map"), options, {}, report,
                       out, err);
}

}  // namespace

int RunDb(const Args& argsIn, std::istream& in, std::ostream& out, std::ostream& err) {
  // db's own options stand before the subcommand; each subcommand has its own.
  ParsedArgs own;
  if (const int status = ParseArgs(*FindCommand("db"), argsIn, own, err, true)) return status;
  const std::optional<std::string> rootGiven = own.Value("--db");  // never empty: the parser sees to it
  Args args = own.operands;
  if (args.empty()) return Usage(err, "a subcommand is needed");
  const std::string command = args[0];
  args.erase(args.begin());
  if (command == "symbolize") {
    for (auto arg = args.begin(); arg != OptionsEnd(args); ++arg)
      if (*arg == "--module" || arg->rfind("--module=", 0) == 0)
        return Usage(err, "symbolize takes no --module: the project names the module");
  }
  // An unknown subcommand takes no options: those are refused first.
  const std::string fullName = "db " + command;
  const Command none{fullName.c_str(), {}, "", {}};
  const Command* table = FindCommand(fullName);
  ParsedArgs parsed;
  if (const int status = ParseArgs(table ? *table : none, args, parsed, err)) return status;
  args = parsed.operands;
  const bool anyBuild = parsed.Has("--any-build");
  const bool showBuilds = parsed.Has("--builds");
  const bool noImage = parsed.Has("--no-image");
  const bool sentry = parsed.Has("--sentry");
  const std::string projectGiven = parsed.Value("--project").value_or(std::string());
  const std::string versionGiven = parsed.Value("--build-version").value_or(std::string());
  SymbolizeOptions symbolizeOptions;
  if (command == "symbolize") symbolizeOptions = SymbolizeOptionsOf(parsed);
  const std::string root = rootGiven ? *rootGiven : DefaultRoot();
  if (!rootGiven && root == "db") return Usage(err, "the executable's folder is unknown; give --db DIR");

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
  } else if (command == "export-breakpad") {
    if (args.empty() || args.size() > 3 || args[0].empty())
      return Usage(err, "export-breakpad needs OUTDIR [PROJECT [VERSION]]");
  } else if (command == "export-pdb") {
    if (args.empty() || args.size() > 3 || args[0].empty())
      return Usage(err, "export-pdb needs OUTDIR [PROJECT [VERSION]]");
  } else {
    return Usage(err, "unknown subcommand \"" + command + "\"");
  }

  // A command that only reads makes no folder: one that is not there is no
  // database (a typo, most likely).
  if (command != "add" && command != "add-build" && !PlatformFileSystem().DirectoryExists(root)) {
    PrintError(err, "no database at " + root);
    return kExitUsage;
  }
  const TMapDB db(root);
  if (command == "lookup") return Lookup(db, args, in, out, err);
  if (command == "add-build") return AddBuild(db, projectGiven, args, noImage, out, err);
  if (command == "symbolize" && args.empty() && symbolizeOptions.minidump) {
    if (const int status = CheckMinidumpOptions("db symbolize", symbolizeOptions, args, err)) return status;
    return DbSymbolizeMinidump(db, symbolizeOptions, versionGiven, anyBuild, out, err);
  }
  if (command == "symbolize" && args.empty())
    return SymbolizeReportBuild(db, symbolizeOptions, versionGiven, anyBuild, in, out, err);
  if (anyBuild) return Usage(err, "--any-build goes with --report or --minidump without PROJECT VERSION");
  if (command == "symbolize") {
    std::string project = args[0];
    const std::optional<std::string> version = StoredVersion(db, "db symbolize", project, VersionName(args[1]), err);
    if (!version) return kExitNotAllFound;
    symbolizeOptions.module = project;  // the project names the module
    const std::string path = db.GetVersionPath(project, *version + ".map");
    return SymbolizeFile("db symbolize", path, symbolizeOptions, Args(args.begin() + 2, args.end()), in, out, err);
  }
  if (command == "add") return Add("db add", db, args[0], VersionName(args[1]), args[2], out, err);
  const bool demangle = !parsed.Has("--no-demangle");
  if (command == "export-breakpad") return DbExportBreakpad(db, args, sentry, demangle, out, err);
  if (command == "export-pdb") return DbExportPdb(db, args, demangle, out, err);
  std::vector<std::string> list;
  if (command == "projects") {
    PrintList(SortedProjects(db), out);
  } else if (command == "versions" && showBuilds) {
    PrintBuilds(db, args[0], out, err);
  } else if (command == "versions") {
    PrintList(SortedVersions(db, StoredProjectName(db, args[0])), out);
  } else {
    PrintTree(db, out);
  }
  return kExitOk;
}

}  // namespace qf::cli
