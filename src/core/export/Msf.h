// The multi-stream file (MSF 7.00) that holds a program database: numbered
// streams laid out in fixed-size blocks, with a free page map and a stream
// directory. The container knows nothing of what the streams hold.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qf {

inline constexpr uint32_t kMsfBlockSize = 4096;
inline constexpr std::string_view kMsfMagic{"Microsoft C/C++ MSF 7.00\r\n\x1a\x44\x53\0\0\0", 32};

// Where every stream and the directory lie: block numbers in the file.
struct MsfLayout {
  uint32_t blockCount = 0;  // blocks in the file
  std::vector<std::vector<uint32_t>> streamBlocks;
  std::vector<uint32_t> directoryBlocks;
  uint32_t blockMapBlock = 0;  // the block that lists the directory's blocks
};

// True for the blocks that hold the two free page maps: 1 and 2 of every
// interval of kMsfBlockSize blocks.
inline bool IsFreePageMapBlock(uint32_t block) {
  const uint32_t inInterval = block % kMsfBlockSize;
  return inInterval == 1 || inInterval == 2;
}

// Lays out streams of the given sizes: the data of each stream in
// consecutive free blocks, then the directory and its block map. Throws
// std::length_error when the directory would not fit (its block list must
// lie in one block) or the file would pass 2^32 blocks.
MsfLayout LayOutMsf(const std::vector<uint64_t>& streamSizes);

// The directory of a layout: the stream count, the sizes, then each
// stream's blocks.
std::string MsfDirectory(const std::vector<uint64_t>& streamSizes, const MsfLayout& layout);

// Writes the file of the streams, block by block in file order, to `write`.
void WriteMsf(const std::vector<std::string>& streams, const std::function<void(std::string_view)>& write);

}  // namespace qf
