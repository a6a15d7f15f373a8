#include "export/Msf.h"

#include <algorithm>
#include <stdexcept>

namespace qf {
namespace {

void PutU32(std::string& out, uint32_t v) {
  for (int k = 0; k < 4; ++k) out += static_cast<char>(v >> (8 * k) & 0xFF);
}

uint64_t BlocksFor(uint64_t bytes) { return (bytes + kMsfBlockSize - 1) / kMsfBlockSize; }

// Hands out blocks in file order, stepping over the free page maps.
class BlockCounter {
 public:
  uint32_t Next() {
    while (IsFreePageMapBlock(next_)) Step();
    const uint32_t block = next_;
    Step();
    return block;
  }
  uint32_t End() const { return next_; }

 private:
  void Step() {
    if (next_ == UINT32_MAX) throw std::length_error("the program database passes 2^32 blocks");
    ++next_;
  }
  uint32_t next_ = 1;  // block 0 is the superblock
};

}  // namespace

MsfLayout LayOutMsf(const std::vector<uint64_t>& streamSizes) {
  MsfLayout layout;
  BlockCounter blocks;
  layout.streamBlocks.resize(streamSizes.size());
  uint64_t directoryBytes = 4 + 4 * uint64_t{streamSizes.size()};
  for (std::size_t s = 0; s < streamSizes.size(); ++s) {
    const uint64_t n = BlocksFor(streamSizes[s]);
    if (streamSizes[s] > UINT32_MAX || n > UINT32_MAX / 4) throw std::length_error("a stream passes 4 GB");
    layout.streamBlocks[s].reserve(n);
    for (uint64_t b = 0; b < n; ++b) layout.streamBlocks[s].push_back(blocks.Next());
    directoryBytes += 4 * n;
  }
  const uint64_t directoryBlocks = BlocksFor(directoryBytes);
  if (directoryBlocks > kMsfBlockSize / 4) throw std::length_error("the stream directory passes its one block map");
  for (uint64_t b = 0; b < directoryBlocks; ++b) layout.directoryBlocks.push_back(blocks.Next());
  layout.blockMapBlock = blocks.Next();
  layout.blockCount = blocks.End();
  // A file that reaches into an interval holds that interval's free page maps.
  while (IsFreePageMapBlock(layout.blockCount)) ++layout.blockCount;
  return layout;
}

std::string MsfDirectory(const std::vector<uint64_t>& streamSizes, const MsfLayout& layout) {
  std::string directory;
  PutU32(directory, static_cast<uint32_t>(streamSizes.size()));
  for (const uint64_t size : streamSizes) PutU32(directory, static_cast<uint32_t>(size));
  for (const std::vector<uint32_t>& list : layout.streamBlocks) {
    for (const uint32_t block : list) PutU32(directory, block);
  }
  return directory;
}

void WriteMsf(const std::vector<std::string>& streams, const std::function<void(std::string_view)>& write) {
  std::vector<uint64_t> sizes;
  sizes.reserve(streams.size());
  for (const std::string& s : streams) sizes.push_back(s.size());
  const MsfLayout layout = LayOutMsf(sizes);
  const std::string directory = MsfDirectory(sizes, layout);

  // What each block holds: a piece of a stream (or of the directory), the
  // block map, a free page map or the superblock.
  std::vector<std::string_view> content(layout.blockCount);
  const auto place = [&](std::string_view bytes, const std::vector<uint32_t>& list) {
    for (std::size_t i = 0; i < list.size(); ++i) {
      content[list[i]] = bytes.substr(i * kMsfBlockSize, kMsfBlockSize);
    }
  };
  for (std::size_t s = 0; s < streams.size(); ++s) place(streams[s], layout.streamBlocks[s]);
  place(directory, layout.directoryBlocks);

  std::string blockMap;
  for (const uint32_t block : layout.directoryBlocks) PutU32(blockMap, block);
  content[layout.blockMapBlock] = blockMap;

  std::string superblock(kMsfMagic);
  PutU32(superblock, kMsfBlockSize);
  PutU32(superblock, 1);  // the free page map in use: blocks 1, 4097, ...
  PutU32(superblock, layout.blockCount);
  PutU32(superblock, static_cast<uint32_t>(directory.size()));
  PutU32(superblock, 0);
  PutU32(superblock, layout.blockMapBlock);
  content[0] = superblock;

  // The free page map: one bit per block (set: free), its bytes spread over
  // the map's blocks in order (the first 4096 bytes in block 1, the next in
  // block 4097, ...). Every block of the file is in use; the bits past its
  // end say free.
  const uint64_t mapBlocks = (uint64_t{layout.blockCount} + kMsfBlockSize - 1) / kMsfBlockSize;
  std::string freeMap(mapBlocks * kMsfBlockSize, '\xFF');
  for (uint32_t b = 0; b < layout.blockCount; ++b) freeMap[b / 8] = static_cast<char>(freeMap[b / 8] & ~(1 << (b % 8)));

  const std::string zeros(kMsfBlockSize, '\0');
  for (uint32_t b = 0; b < layout.blockCount; ++b) {
    std::string_view bytes = content[b];
    if (IsFreePageMapBlock(b)) {
      bytes = std::string_view(freeMap).substr(uint64_t{b / kMsfBlockSize} * kMsfBlockSize, kMsfBlockSize);
    }
    write(bytes);
    if (bytes.size() < kMsfBlockSize) write(std::string_view(zeros).substr(0, kMsfBlockSize - bytes.size()));
  }
}

}  // namespace qf
