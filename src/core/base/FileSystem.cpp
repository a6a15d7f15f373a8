// The parts of the file-system interface that need no system.
#include "base/FileSystem.h"

#include <algorithm>
#include <cstring>

namespace qf {

std::size_t MemoryRandomAccessReader::ReadAt(uint64_t offset, char* buffer, std::size_t size) {
  if (offset >= bytes_.size()) return 0;
  const std::size_t count = static_cast<std::size_t>(std::min<uint64_t>(size, bytes_.size() - offset));
  std::memcpy(buffer, bytes_.data() + offset, count);
  return count;
}

}  // namespace qf
