#include "StoredBuilds.h"

#include <algorithm>
#include <iostream>

#include "Commands.h"
#include "DumpOutput.h"
#include "base/Errors.h"
#include "base/FileSystem.h"
#include "base/PathRules.h"
#include "base/TextRules.h"
#include "crash/Minidump.h"
#include "crash/ModuleName.h"
#include "db/StoreNames.h"
#include "db/U_MAPDb.h"
#include "image/PeImage.h"

namespace qf::cli {

std::vector<std::string> SortedProjects(const TMapDB& db) {
  std::vector<std::string> projects;
  db.GetProjects(projects);
  std::sort(projects.begin(), projects.end(),
            [](const std::string& a, const std::string& b) { return VersionOrderLess(a, b); });
  return projects;
}

std::vector<std::string> SortedVersions(const TMapDB& db, const std::string& project) {
  std::vector<std::string> versions;
  db.GetVersions(project, versions);
  // By the names without ".map", which every listed one ends in.
  std::sort(versions.begin(), versions.end(), [](const std::string& a, const std::string& b) {
    return VersionOrderLess(std::string_view(a).substr(0, a.size() - 4), std::string_view(b).substr(0, b.size() - 4));
  });
  return versions;
}

std::string StoredProjectName(const TMapDB& db, const std::string& project) {
  std::vector<std::string> projects;
  db.GetProjects(projects);
  for (const std::string& listed : projects)
    if (listed == project) return listed;
  for (const std::string& listed : projects)
    if (SameText(listed, project)) return listed;
  return project;
}

std::vector<StoredBuild> ReadStoredBuilds(const TMapDB& db, const std::string& project, const std::string& command,
                                          std::ostream& err) {
  const std::vector<std::string> versions = SortedVersions(db, project);
  std::vector<StoredBuild> builds;
  for (const std::string& listed : versions) {
    StoredBuild build;
    build.version = listed.substr(0, listed.size() - 4);  // without ".map"
    std::string problem;
    try {
      if (const std::optional<std::string> text = db.ReadBuild(project, build.version)) {
        build.identity = ParseBuildIdentity(*text, problem);
      }
    } catch (const Exception& e) {
      problem = e.what();
    }
    if (!problem.empty())
      PrintError(err, command + ": " + db.GetBuildPath(project, build.version) + ": damaged build file: " + problem +
                          "; its build is not checked");
    builds.push_back(std::move(build));
  }
  return builds;
}

const StoredBuild* FindStoredVersion(const std::vector<StoredBuild>& builds, const std::string& version) {
  for (const StoredBuild& build : builds)
    if (SameText(build.version, version)) return &build;
  return nullptr;
}

bool SelectStoredBuilds(const TMapDB& db, const std::vector<std::string>& args, const std::string& command,
                        std::vector<SelectedBuild>& selected, std::ostream& err) {
  std::vector<std::string> projects;
  if (args.size() >= 2) {
    projects.push_back(args[1]);
  } else {
    projects = SortedProjects(db);
  }
  for (const std::string& project : projects) {
    std::vector<StoredBuild> builds = ReadStoredBuilds(db, project, command, err);
    if (args.size() >= 3) {
      const StoredBuild* build = FindStoredVersion(builds, args[2]);
      if (build == nullptr) {
        PrintError(err, command + ": no stored version " + args[2] + " of project " + project +
                            "; stored versions: " + VersionList(builds));
        return false;
      }
      builds = {*build};
    } else if (args.size() == 2 && builds.empty()) {
      PrintError(err, command + ": no stored versions of project " + project);
      return false;
    }
    for (StoredBuild& build : builds) selected.push_back({project, std::move(build)});
  }
  return true;
}

std::string VersionList(const std::vector<StoredBuild>& builds) {
  std::string list;
  for (const StoredBuild& build : builds) list += (list.empty() ? "" : ", ") + build.version;
  return list;
}

std::unique_ptr<ModuleMap> StoredMap(const TMapDB& db, const std::vector<std::string>& projects,
                                     const MinidumpModule& module, const std::string& version, bool program,
                                     bool anyBuild, std::ostream& err, std::string& note, std::string& image) {
  const std::string name(WithoutExtension(module.Name()));
  const auto project =
      std::find_if(projects.begin(), projects.end(), [&](const std::string& p) { return SameText(p, name); });
  if (project == projects.end()) {
    note = "no project " + name + " in the database";
    return nullptr;
  }
  const uint32_t size = uint32_t(module.size);
  const std::vector<StoredBuild> builds = ReadStoredBuilds(db, *project, "db symbolize", err);
  const StoredBuild* chosen = nullptr;
  for (const StoredBuild& build : builds)
    if (!chosen && build.identity && build.identity->SameBuild(module.timeDateStamp, size)) chosen = &build;
  std::string checked;
  if (!chosen) {
    // The identity the dump names, for the messages.
    const std::string build = "build " + SymbolServerKey(module.timeDateStamp, size);
    if (version.empty()) {
      note = "no stored " + build + " of project " + *project + ", and the dump gives no file version of it" +
             std::string(program ? "; give --build-version X.Y.Z.W" : "");
      return nullptr;
    }
    chosen = FindStoredVersion(builds, version);
    if (!chosen) {
      note = "no stored version " + version + " (" + build + ") of project " + *project;
      note += builds.empty() ? " (it has no stored versions)" : "; stored versions: " + VersionList(builds);
      return nullptr;
    }
    if (!chosen->identity) {
      checked = "; the build could not be checked (no .build file)";
    } else if (!anyBuild) {
      note = "version " + chosen->version + " of project " + *project + " is stored for another build (" +
             chosen->identity->CodeId() + ", the dump's " + build + "); --any-build takes it";
      return nullptr;
    } else {
      checked = "; another build (" + chosen->identity->CodeId() + ", the dump's " + build + ") taken by --any-build";
    }
  }
  const std::string file = db.GetVersionPath(*project, chosen->version + ".map");
  std::unique_ptr<ModuleMap> map = LoadMap(file);
  if (!map->map.HasSegmentTable()) {
    note = NoSegmentTable(file);
    return nullptr;
  }
  map->build = chosen->identity;
  note = "project " + *project + ", version " + chosen->version + checked;
  // The executable db add-build kept with it (named by the .build file's module).
  if (chosen->identity) {
    const std::string extension = LowerCase(ExtractFileExt(chosen->identity->module));
    if (TMapDB::IsImageExtension(extension)) {
      const std::string path = db.GetImagePath(*project, chosen->version, extension);
      if (PlatformFileSystem().FileExists(path)) image = path;
    }
  }
  return map;
}

}  // namespace qf::cli
