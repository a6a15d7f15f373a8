// The executables of a dump's modules that a walk reads (x64 unwind tables,
// the call check of scanned words): the stored image of each module, then
// those given by --image FILE and --images DIR. An image counts for a module
// only when its TimeDateStamp and SizeOfImage are the module's; any other is
// named on standard error and ignored.
#pragma once

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Commands.h"
#include "crash/Minidump.h"
#include "crash/StackWalk.h"
#include "image/PeImage.h"

namespace qf::cli {

// Each file's bytes and headers, kept for the walk; one per module (null: none).
class DumpImages {
 public:
  // stored: the executable kept in the database for each module (empty: none).
  DumpImages(const std::string& command, const Minidump& dump, const SymbolizeOptions& options, std::ostream& err,
             const std::vector<std::string>& stored = {});
  const std::vector<std::unique_ptr<ModuleImage>>& PerModule() const { return images_; }

 private:
  // An --image: the module of its file name, else the one of its identity.
  void AddFile(const std::string& file);
  // --images DIR: for each module without an image, the file of its name.
  void AddFolder(const std::string& folder);
  bool Read(const std::string& file, std::optional<PeImage>& image);
  void Use(const std::string& file, PeImage image, size_t i);
  void Ignored(const std::string& why);

  const std::string command_;
  const Minidump& dump_;
  std::ostream& err_;
  std::vector<std::unique_ptr<std::string>> bytes_;
  std::vector<std::unique_ptr<ModuleImage>> images_;
};

}  // namespace qf::cli
