// Small files written by a test into its working folder and removed again.
#pragma once

#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>

namespace qf::test {

class ScratchFile {
 public:
  ScratchFile(std::string name, std::string_view bytes) : name_(std::move(name)) {
    std::ofstream out(name_, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  ~ScratchFile() { std::remove(name_.c_str()); }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  const std::string& Name() const { return name_; }

 private:
  std::string name_;
};

inline std::string DataFile(const std::string& name) { return std::string(QF_TESTDATA_DIR) + "/" + name; }

inline bool Readable(const std::string& path) { return std::ifstream(path, std::ios::binary).good(); }

}  // namespace qf::test
