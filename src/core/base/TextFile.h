// Loading a text file: the whole file as one buffer cut at its first NUL, and
// the same split into lines by the LineIterator rules.
#pragma once

#include <string>
#include <vector>

#include "base/FileSystem.h"

namespace qf {

// The file's bytes up to (not including) the first NUL. Throws EFOpenError.
std::string LoadTextBuffer(const std::string& fileName, const FileSystem& fs = PlatformFileSystem());

// Clears lines and fills it with the file's lines; on an error the list is
// left as it was.
void LoadTextLines(const std::string& fileName, std::vector<std::string>& lines,
                   const FileSystem& fs = PlatformFileSystem());

}  // namespace qf
