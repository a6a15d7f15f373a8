// quillfen-cli db: the MAP database store from the command line, with the
// browser's listings, its add flow and its load.
#include <algorithm>
#include <iostream>

#include "Commands.h"
#include "Errors.h"
#include "ExePath.h"
#include "PathRules.h"
#include "TextRules.h"
#include "U_MAPDb.h"
#include "U_MAPFile.h"

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
      PrintError(err, e.what());
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
  if (command == "symbolize") {
    Args operands;
    if (const int status = ParseSymbolizeArgs("db symbolize", args, symbolizeOptions, operands, err)) return status;
    args = operands;
  } else if (const int status = RefuseOptions("db " + command, args, err)) {
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
  } else if (command == "lookup" || command == "symbolize") {
    if (args.size() < 2) return Usage(err, command + " needs PROJECT VERSION");
  } else {
    return Usage(err, "unknown subcommand \"" + command + "\"");
  }

  const TMapDB db(root);
  if (command == "lookup") return Lookup(db, args, in, out, err);
  if (command == "symbolize") {
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
