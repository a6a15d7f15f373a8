// The MAP database: MAP files kept by project and version in a folder tree.
// The object holds nothing but the root folder's path; every query reads the
// disk anew and every change is made on disk at once.
//
//   <root>/<project>/<version>.map
//   <root>/<project>/<version>.build   the build's identity (BuildIdentity.h),
//                                      stored by db add-build with the .map
//
// Listings skip names that begin with "." and hidden, system and
// volume-label entries, and come in the file system's order. Failures come
// back as false results or empty lists; the caller words the message.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/FileSystem.h"

namespace qf {

class TMapDB {
 public:
  // Stores root with a trailing delimiter; creates the folder (one level) if
  // missing, outcome ignored.
  explicit TMapDB(const std::string& rootFolder, const FileSystem& fs = PlatformFileSystem());
  TMapDB(const TMapDB&) = delete;
  TMapDB& operator=(const TMapDB&) = delete;

  const std::string& RootFolder() const { return rootFolder_; }

  // Every entry of the root folder, folders and plain files alike.
  void GetProjects(std::vector<std::string>& list) const;
  // Every "*.map" entry of the project's folder, lower-cased (A-Z only),
  // extension kept.
  void GetVersions(const std::string& project, std::vector<std::string>& list) const;
  // Root, project, delimiter, version; no extension is added.
  std::string GetVersionPath(const std::string& project, const std::string& version) const;

  // True when the project's folder exists or could be made (one level).
  bool CreateProject(const std::string& project) const;
  // The version's ".map" file exists (a folder of that name does not count).
  bool VersionExists(const std::string& project, const std::string& version) const;
  // Stores sourceFile as the version's ".map" file in the existing project
  // folder. Never overwrites; true only when the stored file is complete.
  bool AddVersion(const std::string& project, const std::string& version, const std::string& sourceFile) const;
  // AddVersion with the version's ".build" file holding buildText: both go
  // through temporary names, the ".build" file is moved into place first
  // and removed again when the ".map" file cannot follow, so the two are
  // stored together or not at all. Never overwrites either.
  // With imageFile (not empty), the executable the MAP file belongs to is
  // stored too, as VERSION plus imageExtension (".exe", ".dll", ".bpl"),
  // moved into place after the ".build" file and before the ".map" file, and
  // removed again with it when the ".map" file cannot follow.
  bool AddVersionWithBuild(const std::string& project, const std::string& version, const std::string& sourceFile,
                           const std::string& buildText, const std::string& imageFile = std::string(),
                           const std::string& imageExtension = std::string()) const;
  // The path of the version's stored executable of that extension (".exe").
  std::string GetImagePath(const std::string& project, const std::string& version,
                           const std::string& imageExtension) const;
  // An extension an executable may be stored with: not empty, no ".map" or
  // ".build" (which the store's own files end in), a safe name.
  static bool IsImageExtension(const std::string& extension);
  // The path of the version's ".build" file.
  std::string GetBuildPath(const std::string& project, const std::string& version) const;
  // The text of the version's ".build" file; none when there is none. Throws
  // EFOpenError when it exists but cannot be read.
  std::optional<std::string> ReadBuild(const std::string& project, const std::string& version) const;

  // A name the store refuses: empty, "." or "..", or holding a path
  // separator ("\", "/", ":") or a NUL. Such a name would reach outside the
  // project's folder, where no listing shows it again.
  static bool IsUnsafeName(const std::string& name);

 private:
  std::string ProjectFolder(const std::string& project) const;
  std::string TemporaryName(const std::string& projectFolder) const;
  bool StoreMap(const std::string& folder, const std::string& target, const std::string& sourceFile) const;

  std::string rootFolder_;
  const FileSystem& fs_;
};

}  // namespace qf
