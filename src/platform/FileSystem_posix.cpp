// The core's file system on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "Errors.h"
#include "FileSystem.h"

namespace qf {
namespace {

std::string FullPath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[4096];
  if (!getcwd(cwd, sizeof cwd)) return path;
  std::string full = cwd;
  if (full.empty() || full.back() != '/') full += '/';
  return full + path;
}

class PosixFileSystem final : public FileSystem {
 public:
  std::string ReadWholeFile(const std::string& path) const override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Fail(path, errno);
    struct stat st {};
    std::string data;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) data.resize(static_cast<std::size_t>(st.st_size));
    std::size_t used = 0;
    for (;;) {
      // Past the size the file had when opened, read in small steps: the
      // buffer must not double at the very end of a large file.
      char spill[4096];
      const bool full = used == data.size();
      const ssize_t got = full ? ::read(fd, spill, sizeof spill) : ::read(fd, &data[used], data.size() - used);
      if (got == 0) break;
      if (got < 0) {
        if (errno == EINTR) continue;
        const int err = errno;
        ::close(fd);
        Fail(path, err);
      }
      if (full) data.append(spill, static_cast<std::size_t>(got));
      used += static_cast<std::size_t>(got);
    }
    data.resize(used);
    ::close(fd);
    return data;
  }

  bool FileExists(const std::string&) const override { return false; }
  bool DirectoryExists(const std::string&) const override { return false; }
  bool CreateDir(const std::string&) const override { return false; }
  bool CopyNoReplace(const std::string&, const std::string&) const override { return false; }
  bool MoveNoReplace(const std::string&, const std::string&) const override { return false; }
  bool RemoveFile(const std::string&) const override { return false; }
  std::vector<FoundEntry> FindEntries(const std::string&) const override { return {}; }

 private:
  [[noreturn]] static void Fail(const std::string& path, int err) {
    throw EFOpenError(FullPath(path), std::strerror(err));
  }
};

}  // namespace

const FileSystem& PlatformFileSystem() {
  static const PosixFileSystem fs;
  return fs;
}

}  // namespace qf
