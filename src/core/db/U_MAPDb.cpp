#include "db/U_MAPDb.h"

#include "base/NumberText.h"

#include <atomic>
#include <chrono>
#include <cstdint>

#include "base/PathRules.h"
#include "base/TextRules.h"

namespace qf {
namespace {

constexpr const char* kVersionExtension = ".map";
constexpr const char* kBuildExtension = ".build";

// Names that begin with "." are never listed: the folder itself, its
// parent, and any other dot name.
bool IsListed(const std::string& name) { return !name.empty() && name[0] != '.'; }

std::string Hex(uint64_t value) { return HexText(value, 1, HexCase::Lower); }

}  // namespace

TMapDB::TMapDB(const std::string& rootFolder, const FileSystem& fs)
    : rootFolder_(IncludeTrailingPathDelimiter(rootFolder)), fs_(fs) {
  if (fs_.DirectoryExists(rootFolder_)) return;
  std::string folder = rootFolder_;
  if (folder.size() > 1) folder.pop_back();
  fs_.CreateDir(folder);  // a root that cannot be made leaves empty listings
}

bool TMapDB::IsUnsafeName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return true;
  return name.find('\0') != std::string::npos || ContainsCharOf(name, "\\/:");
}

std::string TMapDB::ProjectFolder(const std::string& project) const { return rootFolder_ + project; }

void TMapDB::GetProjects(std::vector<std::string>& list) const {
  list.clear();
  for (const FoundEntry& entry : fs_.FindEntries(rootFolder_ + "*"))
    if (IsListed(entry.name)) list.push_back(entry.name);
}

void TMapDB::GetVersions(const std::string& project, std::vector<std::string>& list) const {
  list.clear();
  if (IsUnsafeName(project)) return;
  const std::string pattern = ProjectFolder(project) + PathDelim + "*" + kVersionExtension;
  // The pattern is matched by the file system, which on Windows also matches
  // short 8.3 names ("build.mapx" as BUILD~1.MAP): the long name must end in
  // ".map" itself.
  for (const FoundEntry& entry : fs_.FindEntries(pattern))
    if (IsListed(entry.name) && SameText(ExtractFileExt(entry.name), kVersionExtension))
      list.push_back(LowerCase(entry.name));
}

std::string TMapDB::GetVersionPath(const std::string& project, const std::string& version) const {
  return ProjectFolder(project) + PathDelim + version;
}

bool TMapDB::CreateProject(const std::string& project) const {
  if (IsUnsafeName(project)) return false;
  const std::string folder = ProjectFolder(project);
  return fs_.DirectoryExists(folder) || fs_.CreateDir(folder);
}

bool TMapDB::VersionExists(const std::string& project, const std::string& version) const {
  if (IsUnsafeName(project) || IsUnsafeName(version)) return false;
  return fs_.FileExists(GetVersionPath(project, version) + kVersionExtension);
}

// A name in the project folder that is free now and that no listing shows
// (it begins with "." and does not end in ".map"); "" when none is found.
std::string TMapDB::TemporaryName(const std::string& projectFolder) const {
  static std::atomic<uint32_t> counter{0};
  const auto now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  for (int attempt = 0; attempt < 16; ++attempt) {
    const uint64_t tag = now ^ (static_cast<uint64_t>(++counter) << 40) ^ reinterpret_cast<uintptr_t>(this);
    const std::string name = projectFolder + PathDelim + ".add-" + Hex(tag) + ".tmp";
    if (fs_.FileSize(name) < 0 && !fs_.DirectoryExists(name)) return name;
  }
  return std::string();
}

// The file is copied to a temporary name beside its place and moved there
// only when it is whole, so the version's name never holds a partial copy;
// neither the copy nor the move replaces an existing file.
bool TMapDB::AddVersion(const std::string& project, const std::string& version,
                        const std::string& sourceFile) const {
  if (IsUnsafeName(project) || IsUnsafeName(version)) return false;
  const std::string folder = ProjectFolder(project);
  if (!fs_.DirectoryExists(folder)) return false;
  const std::string target = GetVersionPath(project, version) + kVersionExtension;
  if (fs_.FileExists(target)) return false;
  return StoreMap(folder, target, sourceFile);
}

bool TMapDB::StoreMap(const std::string& folder, const std::string& target, const std::string& sourceFile) const {
  const long long size = fs_.FileSize(sourceFile);
  if (size < 0) return false;
  const std::string temporary = TemporaryName(folder);
  if (temporary.empty()) return false;
  if (!fs_.CopyNoReplace(sourceFile, temporary) || fs_.FileSize(temporary) != size ||
      !fs_.MoveNoReplace(temporary, target)) {
    fs_.RemoveFile(temporary);
    return false;
  }
  if (fs_.FileExists(target) && fs_.FileSize(target) == size) return true;
  fs_.RemoveFile(target);  // ours: the move made it
  return false;
}

std::string TMapDB::GetBuildPath(const std::string& project, const std::string& version) const {
  return GetVersionPath(project, version) + kBuildExtension;
}

bool TMapDB::AddVersionWithBuild(const std::string& project, const std::string& version,
                                 const std::string& sourceFile, const std::string& buildText,
                                 const std::string& imageFile, const std::string& imageExtension) const {
  if (IsUnsafeName(project) || IsUnsafeName(version)) return false;
  if (!imageFile.empty() && !IsImageExtension(imageExtension)) return false;
  const std::string folder = ProjectFolder(project);
  if (!fs_.DirectoryExists(folder)) return false;
  const std::string target = GetVersionPath(project, version) + kVersionExtension;
  const std::string build = GetBuildPath(project, version);
  // A ".build" file left without its ".map" file (by a crash between the two
  // moves) is no version: it is replaced.
  if (fs_.FileExists(target)) return false;
  if (fs_.FileExists(build) && !fs_.RemoveFile(build)) return false;
  const std::string temporary = TemporaryName(folder);
  if (temporary.empty()) return false;
  if (!fs_.WriteNewFile(temporary, buildText) ||
      fs_.FileSize(temporary) != static_cast<long long>(buildText.size()) || !fs_.MoveNoReplace(temporary, build)) {
    fs_.RemoveFile(temporary);
    return false;
  }
  // The executable likewise; one left without its ".map" file is replaced.
  const std::string image = imageFile.empty() ? std::string() : GetImagePath(project, version, imageExtension);
  if (!image.empty() && ((fs_.FileExists(image) && !fs_.RemoveFile(image)) || !StoreMap(folder, image, imageFile))) {
    fs_.RemoveFile(build);
    return false;
  }
  if (StoreMap(folder, target, sourceFile)) return true;
  if (!image.empty()) fs_.RemoveFile(image);  // ours: the moves made them
  fs_.RemoveFile(build);
  return false;
}

std::string TMapDB::GetImagePath(const std::string& project, const std::string& version,
                                 const std::string& imageExtension) const {
  return GetVersionPath(project, version) + imageExtension;
}

bool TMapDB::IsImageExtension(const std::string& extension) {
  return extension.size() > 1 && extension[0] == '.' && !IsUnsafeName(extension.substr(1)) &&
         !SameText(extension, kVersionExtension) && !SameText(extension, kBuildExtension);
}

std::optional<std::string> TMapDB::ReadBuild(const std::string& project, const std::string& version) const {
  if (IsUnsafeName(project) || IsUnsafeName(version)) return std::nullopt;
  const std::string build = GetBuildPath(project, version);
  if (!fs_.FileExists(build)) return std::nullopt;
  return fs_.ReadWholeFile(build);
}

}  // namespace qf
