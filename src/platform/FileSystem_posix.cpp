// The core's file system on POSIX systems.
//
// The store expects a file system that ignores case (a lower-cased listed
// version name must open its file). Here every path is resolved component by
// component: a part that does not exist as typed is replaced by an entry of
// its folder whose name equals it when the letters A-Z are folded. Names that
// begin with "." play the role of hidden entries.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // renameat2
#endif
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/Errors.h"
#include "base/FileSystem.h"
#include "base/TextRules.h"

namespace qf {
namespace {

// The absolute form of a path, with "." and ".." parts and doubled
// separators folded away (as the name, not the disk, says).
std::string FullPath(const std::string& path) {
  std::string joined = path;
  if (joined.empty() || joined[0] != '/') {
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return path;
    joined = std::string(cwd) + "/" + path;
  }
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= joined.size()) {
    const std::size_t end = std::min(joined.find('/', start), joined.size());
    const std::string part = joined.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string full;
  for (const std::string& part : parts) full += "/" + part;
  return full.empty() ? "/" : full;
}

// A file descriptor closed on every way out.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and reports whether the close succeeded (it may report a
  // delayed write error).
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

// "*" any run of characters, "?" exactly one; A-Z and a-z fold.
bool WildMatch(std::string_view pattern, std::string_view name) {
  std::size_t p = 0, n = 0;
  std::size_t starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' || SameText(pattern.substr(p, 1), name.substr(n, 1)))) {
      ++p;
      ++n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// The entry of folder dir (as it is on disk) whose name equals part when
// A-Z are folded; "" when there is none. The first match in the folder's
// order wins.
std::string FindFoldedName(const std::string& dir, const std::string& part) {
  Dir d(::opendir(dir.empty() ? "." : dir.c_str()));
  if (!d) return std::string();
  while (const dirent* e = ::readdir(d.get())) {
    if (SameText(e->d_name, part)) return e->d_name;
  }
  return std::string();
}

// The path with each part that does not exist as typed replaced by its
// case-folded match on disk. From the first part that has no match on, the
// rest is kept as typed (it names something that does not exist yet).
std::string ResolveCase(const std::string& path) {
  std::string out;
  std::size_t at = 0;
  if (!path.empty() && path[0] == '/') {
    out = "/";
    at = 1;
  }
  bool missing = false;
  while (at < path.size()) {
    std::size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(at, end - at);
    at = end + 1;
    if (part.empty()) continue;  // doubled or trailing "/"
    const std::string dir = out;
    std::string name = part;
    if (!missing && part != "." && part != "..") {
      struct stat st {};
      if (::lstat((dir + part).c_str(), &st) != 0) {
        if (errno == ENOENT) name = FindFoldedName(dir, part);
        if (name.empty()) {
          name = part;
          missing = true;
        }
      }
    }
    out += name;
    if (at <= path.size()) out += '/';
  }
  return out;
}

bool StatResolved(const std::string& path, struct stat& st) {
  return ::stat(ResolveCase(path).c_str(), &st) == 0;
}

// Copies the whole of from into the fresh file to; false on any short or
// failed read or write.
bool CopyContent(int from, int to) {
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(from, buffer, sizeof buffer);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(to, buffer + done, static_cast<std::size_t>(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += put;
    }
  }
}

class PosixFileSystem final : public FileSystem {
  class Reader final : public FileReader {
   public:
    Reader(const std::string& path, const std::string& resolved)
        : fd_(::open(resolved.c_str(), O_RDONLY | O_CLOEXEC)), error_(errno), path_(path) {}
    bool Opened() const { return fd_.valid(); }
    int Error() const { return error_; }
    std::size_t Read(char* buffer, std::size_t size) override {
      for (;;) {
        const ssize_t got = ::read(fd_.get(), buffer, size);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) Fail(path_, errno);
      }
    }

   private:
    Fd fd_;
    int error_;
    std::string path_;
  };

  // pread at 64-bit offsets (off_t is 64 bits: _FILE_OFFSET_BITS or a
  // 64-bit system).
  class PositionedReader final : public RandomAccessReader {
   public:
    PositionedReader(const std::string& path, const std::string& resolved)
        : fd_(::open(resolved.c_str(), O_RDONLY | O_CLOEXEC)), error_(errno), path_(path) {
      struct stat st {};
      if (fd_.valid() && ::fstat(fd_.get(), &st) == 0 && st.st_size > 0) size_ = static_cast<uint64_t>(st.st_size);
    }
    bool Opened() const { return fd_.valid(); }
    int Error() const { return error_; }
    uint64_t Size() const override { return size_; }
    std::size_t ReadAt(uint64_t offset, char* buffer, std::size_t size) override {
      std::size_t done = 0;
      while (done < size && offset + done < size_) {
        const ssize_t got = ::pread(fd_.get(), buffer + done, size - done, static_cast<off_t>(offset + done));
        if (got == 0) break;
        if (got < 0) {
          if (errno == EINTR) continue;
          Fail(path_, errno);
        }
        done += static_cast<std::size_t>(got);
      }
      return done;
    }

   private:
    Fd fd_;
    int error_;
    std::string path_;
    uint64_t size_ = 0;
  };
  static_assert(sizeof(off_t) == 8, "64-bit file offsets");

 public:
  std::unique_ptr<FileReader> OpenForReading(const std::string& path) const override {
    auto reader = std::make_unique<Reader>(path, ResolveCase(path));
    if (!reader->Opened()) Fail(path, reader->Error());
    return reader;
  }

  std::unique_ptr<RandomAccessReader> OpenRandomAccess(const std::string& path) const override {
    auto reader = std::make_unique<PositionedReader>(path, ResolveCase(path));
    if (!reader->Opened()) Fail(path, reader->Error());
    return reader;
  }

  std::string ReadWholeFile(const std::string& path) const override {
    Fd fd(::open(ResolveCase(path).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) Fail(path, errno);
    struct stat st {};
    std::string data;
    if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode)) data.resize(static_cast<std::size_t>(st.st_size));
    std::size_t used = 0;
    for (;;) {
      // Past the size the file had when opened, read in small steps: the
      // buffer must not double at the very end of a large file.
      char spill[4096];
      const bool full = used == data.size();
      const ssize_t got = full ? ::read(fd.get(), spill, sizeof spill) : ::read(fd.get(), &data[used], data.size() - used);
      if (got == 0) break;
      if (got < 0) {
        if (errno == EINTR) continue;
        Fail(path, errno);
      }
      if (full) data.append(spill, static_cast<std::size_t>(got));
      used += static_cast<std::size_t>(got);
    }
    data.resize(used);
    return data;
  }

  bool FileExists(const std::string& path) const override {
    struct stat st {};
    return !path.empty() && StatResolved(path, st) && S_ISREG(st.st_mode);
  }

  bool DirectoryExists(const std::string& path) const override {
    struct stat st {};
    return !path.empty() && StatResolved(path, st) && S_ISDIR(st.st_mode);
  }

  long long FileSize(const std::string& path) const override {
    struct stat st {};
    if (path.empty() || !StatResolved(path, st) || !S_ISREG(st.st_mode)) return -1;
    return static_cast<long long>(st.st_size);
  }

  bool CreateDir(const std::string& path) const override {
    // A folder that exists in another case counts as there already.
    return !path.empty() && ::mkdir(ResolveCase(path).c_str(), 0777) == 0;
  }

  bool CopyNoReplace(const std::string& from, const std::string& to) const override {
    if (from.empty() || to.empty()) return false;
    Fd in(::open(ResolveCase(from).c_str(), O_RDONLY | O_CLOEXEC));
    if (!in.valid()) return false;
    struct stat st {};
    if (::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    // O_EXCL: an existing target (in any case, after resolving) is never
    // opened, let alone truncated.
    const std::string target = ResolveCase(to);
    Fd out(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!out.valid()) return false;
    const bool copied = CopyContent(in.get(), out.get());
    if (copied && out.Close()) return true;
    ::unlink(target.c_str());  // ours: O_EXCL created it
    return false;
  }

  bool WriteNewFile(const std::string& path, std::string_view content) const override {
    if (path.empty()) return false;
    const std::string target = ResolveCase(path);
    Fd out(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!out.valid()) return false;
    bool written = true;
    for (std::size_t done = 0; written && done < content.size();) {
      const ssize_t put = ::write(out.get(), content.data() + done, content.size() - done);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) written = false;
      else done += static_cast<std::size_t>(put);
    }
    if (written && out.Close()) return true;
    ::unlink(target.c_str());  // ours: O_EXCL created it
    return false;
  }

  bool MoveNoReplace(const std::string& from, const std::string& to) const override {
    if (from.empty() || to.empty()) return false;
    const std::string source = ResolveCase(from);
    const std::string target = ResolveCase(to);
#ifdef SYS_renameat2
    if (::syscall(SYS_renameat2, AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), 1u /* RENAME_NOREPLACE */) == 0)
      return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
#endif
    // Without renameat2: link() never replaces an existing name.
    struct stat st {};
    if (::lstat(source.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (::link(source.c_str(), target.c_str()) != 0) return false;
    if (::unlink(source.c_str()) == 0) return true;
    ::unlink(target.c_str());
    return false;
  }

  bool RemoveFile(const std::string& path) const override {
    struct stat st {};
    const std::string resolved = ResolveCase(path);
    if (path.empty() || ::lstat(resolved.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    return ::unlink(resolved.c_str()) == 0;
  }

  std::vector<FoundEntry> FindEntries(const std::string& pattern) const override {
    std::vector<FoundEntry> found;
    const std::size_t slash = pattern.rfind('/');
    const std::string namePattern = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
    if (namePattern.empty()) return found;
    std::string dir = slash == std::string::npos ? std::string(".") : pattern.substr(0, slash + 1);
    dir = ResolveCase(dir);
    Dir d(::opendir(dir.c_str()));
    if (!d) return found;
    if (dir.back() != '/') dir += '/';
    while (const dirent* e = ::readdir(d.get())) {
      const std::string name = e->d_name;
      const bool self = name == "." || name == "..";
      if (name[0] == '.' && !self) continue;  // a hidden entry
      if (!WildMatch(namePattern, name)) continue;
      struct stat st {};
      if (::stat((dir + name).c_str(), &st) != 0) continue;  // dangling link
      // Only folders and ordinary files: devices, pipes and sockets are the
      // system entries of this platform.
      if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) continue;
      found.push_back({name, S_ISDIR(st.st_mode)});
    }
    return found;
  }

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
