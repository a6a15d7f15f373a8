// The real MAP files kept in tests/data (both folders), listed from disk.
#pragma once

#include <dirent.h>

#include <string>
#include <vector>

namespace qf::test {

struct RealMapFile {
  std::string folder;
  std::string name;
  std::string Path() const { return folder + "/" + name; }
};

// Every .map file of the two folders; none of a folder that cannot be read
// (the callers count the files they expect).
inline std::vector<RealMapFile> RealMapFiles() {
  std::vector<RealMapFile> files;
  for (const std::string folder : {QF_REALMAPS_DIR, QF_REALMAPS_MODERN_DIR}) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) continue;
    while (const dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name.size() > 4 && name.substr(name.size() - 4) == ".map") files.push_back({folder, name});
    }
    closedir(dir);
  }
  return files;
}

}  // namespace qf::test
