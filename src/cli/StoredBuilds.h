// The builds a project of the MAP database holds: each stored version with
// the identity of its .build file, and the choice of the build a crash or a
// dump's module names.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/BuildIdentity.h"

namespace qf {
class TMapDB;
struct MinidumpModule;
}

namespace qf::cli {

struct StoredBuild {
  std::string version;                    // as listed, without ".map"
  std::optional<BuildIdentity> identity;  // none: no .build file, or a damaged one
};

// The projects, by name (digit runs as numbers, case aside).
std::vector<std::string> SortedProjects(const TMapDB& db);
// The project's "*.map" entries in version order (1.2.10 after 1.2.9).
std::vector<std::string> SortedVersions(const TMapDB& db, const std::string& project);
// The name the project's folder has (its case as stored, which a file system
// without regard to case keeps), else project as given.
std::string StoredProjectName(const TMapDB& db, const std::string& project);

// Every stored version of the project, in version order. A damaged
// .build file is named on err ("quillfen-cli: COMMAND: PATH: damaged build
// file: PROBLEM; its build is not checked") and its version read as one
// without a .build file.
std::vector<StoredBuild> ReadStoredBuilds(const TMapDB& db, const std::string& project, const std::string& command,
                                          std::ostream& err);

// The stored version named `version` (without regard to case), else null.
const StoredBuild* FindStoredVersion(const std::vector<StoredBuild>& builds, const std::string& version);

// A stored build of a project, as the exports take them.
struct SelectedBuild {
  std::string project;
  StoredBuild build;
};

// The builds an export's arguments OUTDIR [PROJECT [VERSION]] name: every
// project's (each in the listing's order), the project's, or the one
// version's. False, with the reason on err, when the project has no stored
// versions or the version is not stored.
bool SelectStoredBuilds(const TMapDB& db, const std::vector<std::string>& args, const std::string& command,
                        std::vector<SelectedBuild>& selected, std::ostream& err);

// "2.1.0.7, 2.1.0.7-5F1E2A3B1d000": the stored versions for a message.
std::string VersionList(const std::vector<StoredBuild>& builds);

struct ModuleMap;

// The stored MAP file of a module of a dump (db symbolize --minidump): the
// project named like the module's file without extension, its stored build
// whose identity is the module's, else its stored version `version` (names
// compared without regard to case) when no .build file contradicts it (or
// anyBuild). note says which was used, or why there is none; image: the
// executable db add-build kept with it, where there is one.
std::unique_ptr<ModuleMap> StoredMap(const TMapDB& db, const std::vector<std::string>& projects,
                                     const MinidumpModule& module, const std::string& version, bool program,
                                     bool anyBuild, std::ostream& err, std::string& note, std::string& image);

}  // namespace qf::cli
