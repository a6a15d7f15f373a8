#include "base/TextFile.h"

#include "base/LineIterator.h"

namespace qf {

std::string LoadTextBuffer(const std::string& fileName, const FileSystem& fs) {
  std::string buffer = fs.ReadWholeFile(fileName);
  const auto nul = buffer.find('\0');
  if (nul != std::string::npos) buffer.resize(nul);
  return buffer;
}

void LoadTextLines(const std::string& fileName, std::vector<std::string>& lines, const FileSystem& fs) {
  const std::string buffer = LoadTextBuffer(fileName, fs);
  std::vector<std::string> result;
  for (LineIterator it(buffer); !it.AtEnd(); ++it) result.emplace_back(*it);
  lines.swap(result);
}

}  // namespace qf
