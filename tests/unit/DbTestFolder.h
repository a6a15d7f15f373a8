// A real folder in the system's temporary directory for the database tests,
// removed with everything in it at the end of the test. Paths are 8-bit
// strings joined with the platform's delimiter, as the store builds them.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "base/PathRules.h"

namespace qf::test {

class DbTestFolder {
 public:
  DbTestFolder() {
    std::random_device random;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
      const std::filesystem::path candidate = base / ("qf-db-" + std::to_string(random()));
      if (std::filesystem::create_directory(candidate)) {
        path_ = candidate.string();
        return;
      }
    }
    throw std::runtime_error("no scratch folder");
  }
  ~DbTestFolder() {
    std::error_code ignored;
    MakeWritable(path_);
    std::filesystem::remove_all(path_, ignored);
  }
  DbTestFolder(const DbTestFolder&) = delete;
  DbTestFolder& operator=(const DbTestFolder&) = delete;

  const std::string& Path() const { return path_; }
  // The scratch folder joined with the given parts.
  template <typename... Parts>
  std::string operator()(const Parts&... parts) const {
    std::string out = path_;
    ((out += PathDelim, out += parts), ...);
    return out;
  }

 private:
  // A read-only file would stop the clean-up on Windows.
  static void MakeWritable(const std::string& folder) {
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_write,
                                   std::filesystem::perm_options::add, ec);
  }

  std::string path_;
};

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

// The whole file, or "<missing>" when it cannot be opened.
inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void MakeFolder(const std::string& path) {
  if (!std::filesystem::create_directory(path)) throw std::runtime_error("cannot create " + path);
}

// Every name in a folder, dot names included ("." and ".." excepted).
inline std::vector<std::string> AllNames(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(folder, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    names.push_back(it->path().filename().string());
  return names;
}

}  // namespace qf::test
