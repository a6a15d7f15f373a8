// The file version of a Windows executable (PE32 or PE32+), read from the
// fixed part of its version resource without any system service: the DOS
// and PE headers, the resource directory (RT_VERSION, its first name, its
// first language) and the VS_FIXEDFILEINFO in it. Every read is checked
// against the image's bytes, so any file can be given.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/FileSystem.h"

namespace qf {

struct PeFileVersion {
  enum Status {
    Found,
    NotPeImage,         // no MZ header, no PE signature or an unknown optional header
    NoVersionResource,  // a PE image, but no readable fixed version in its resources
  };
  Status status = NotPeImage;
  bool is64 = false;           // PE32+ (meaningful once the headers were read)
  uint32_t versionMS = 0;      // dwFileVersionMS
  uint32_t versionLS = 0;      // dwFileVersionLS

  // "major.minor.release.build", e.g. "1.4.0.12"; "" unless found.
  std::string Text() const;
};

// The version of an image held in memory.
PeFileVersion ReadPeFileVersion(std::string_view image);

// The version of the executable at path. Throws EFOpenError when the file
// cannot be opened or read.
PeFileVersion ReadPeFileVersionOfFile(const std::string& path, const FileSystem& fs = PlatformFileSystem());

}  // namespace qf
