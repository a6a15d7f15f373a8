#include "StoredBuilds.h"

#include <algorithm>
#include <iostream>

#include "Commands.h"
#include "base/Errors.h"
#include "base/TextRules.h"
#include "db/StoreNames.h"
#include "db/U_MAPDb.h"

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

}  // namespace qf::cli
