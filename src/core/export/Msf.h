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

// True for the blocks that hold the two free page maps: 1 and 2 of every
// interval of kMsfBlockSize blocks.
inline bool IsFreePageMapBlock(uint32_t block) {
  const uint32_t inInterval = block % kMsfBlockSize;
  return inInterval == 1 || inInterval == 2;
}

// Writes the file front to back, with every stream's size known before its
// bytes: the superblock and the free page maps are written from the sizes,
// each stream's bytes go out block by block as its blocks fill (the streams'
// bytes may come in any interleaving, each stream's in order), and Finish()
// writes the directory and its block map last. Only a partly filled block of
// each stream is held.
class MsfWriter {
 public:
  // Throws std::length_error when the file would pass 2^32 blocks, a stream
  // 4 GB, or the directory the one block that lists its blocks.
  MsfWriter(std::vector<uint64_t> streamSizes, std::function<void(std::string_view)> write);
  // Appends bytes to a stream; throws std::logic_error past its size.
  void Append(uint32_t stream, std::string_view bytes);
  // Writes the directory; throws std::logic_error when a stream is short.
  void Finish();

 private:
  // Writes the free page map blocks that come next; the block the next data goes to.
  uint32_t NextBlock();
  void Out(std::string_view bytes);
  void WriteBlock(std::string_view bytes);

  std::vector<uint64_t> sizes_;
  std::function<void(std::string_view)> write_;
  std::string out_;  // what goes to write_, in pieces of about a megabyte
  std::vector<uint64_t> written_;
  std::vector<std::string> pending_;  // each stream's partly filled block
  std::vector<std::vector<uint32_t>> blocks_;
  uint32_t blockCount_ = 0;  // of the whole file
  uint32_t next_ = 0;        // the next block to be written
  std::string freeMap_;      // the free page map's bytes, block by block
};

}  // namespace qf
