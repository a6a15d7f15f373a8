#include "export/Msf.h"

#include <stdexcept>

#include "export/LittleEndian.h"

namespace qf {
namespace {

// The first block of the file.
struct SuperBlock {
  uint32_t blockSize = kMsfBlockSize;
  uint32_t freeBlockMapBlock = 1;  // the free page map in use: blocks 1, 4097, ...
  uint32_t blockCount = 0;
  uint32_t directoryBytes = 0;
  uint32_t unknown = 0;
  uint32_t blockMapBlock = 0;  // the block that lists the directory's blocks
  void Put(LeWriter& w) const {
    w.Bytes(kMsfMagic).U32(blockSize).U32(freeBlockMapBlock).U32(blockCount).U32(directoryBytes);
    w.U32(unknown).U32(blockMapBlock);
  }
};

uint64_t BlocksFor(uint64_t bytes) { return (bytes + kMsfBlockSize - 1) / kMsfBlockSize; }

// The block after `block` that is no free page map block.
uint32_t NextDataBlock(uint32_t block) {
  do {
    if (block == UINT32_MAX) throw std::length_error("the program database passes 2^32 blocks");
    ++block;
  } while (IsFreePageMapBlock(block));
  return block;
}

}  // namespace

MsfWriter::MsfWriter(std::vector<uint64_t> streamSizes, std::function<void(std::string_view)> write)
    : sizes_(std::move(streamSizes)), write_(std::move(write)) {
  written_.assign(sizes_.size(), 0);
  pending_.resize(sizes_.size());
  blocks_.resize(sizes_.size());
  // Data blocks come first (in the order they fill), then the directory,
  // then the block map: the file's size follows from the sizes alone.
  uint64_t dataBlocks = 0;
  for (const uint64_t size : sizes_) {
    if (size > UINT32_MAX) throw std::length_error("a stream passes 4 GB");
    dataBlocks += BlocksFor(size);
  }
  const uint64_t directoryBytes = 4 + 4 * uint64_t{sizes_.size()} + 4 * dataBlocks;
  const uint64_t directoryBlocks = BlocksFor(directoryBytes);
  if (directoryBlocks > kMsfBlockSize / 4) throw std::length_error("the stream directory passes its one block map");
  uint32_t last = 0;  // the superblock
  for (uint64_t n = 0; n < dataBlocks + directoryBlocks + 1; ++n) last = NextDataBlock(last);
  blockCount_ = last + 1;
  // A file that reaches into an interval holds that interval's free page maps.
  while (IsFreePageMapBlock(blockCount_)) ++blockCount_;

  // The free page map: one bit per block (set: free), its bytes spread over
  // the map's blocks in order (the first 4096 bytes in block 1, the next in
  // block 4097, ...). Every block of the file is in use; the bits past its
  // end say free.
  freeMap_.assign(BlocksFor(blockCount_) * kMsfBlockSize, '\xFF');
  for (uint32_t b = 0; b < blockCount_; ++b) freeMap_[b / 8] = static_cast<char>(freeMap_[b / 8] & ~(1 << (b % 8)));

  SuperBlock header;
  header.blockCount = blockCount_;
  header.directoryBytes = static_cast<uint32_t>(directoryBytes);
  header.blockMapBlock = last;
  std::string superblock;
  LeWriter w(superblock);
  header.Put(w);
  WriteBlock(superblock);
  for (std::size_t s = 0; s < sizes_.size(); ++s) blocks_[s].reserve(BlocksFor(sizes_[s]));
}

uint32_t MsfWriter::NextBlock() {
  while (IsFreePageMapBlock(next_)) {
    Out(std::string_view(freeMap_).substr(uint64_t{next_ / kMsfBlockSize} * kMsfBlockSize, kMsfBlockSize));
    ++next_;
  }
  return next_;
}

void MsfWriter::Out(std::string_view bytes) {
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  if (out_.capacity() < kPiece) out_.reserve(kPiece);
  out_.append(bytes);
  if (out_.size() + kMsfBlockSize > kPiece) {
    write_(out_);
    out_.clear();
  }
}

void MsfWriter::WriteBlock(std::string_view bytes) {
  NextBlock();
  Out(bytes);
  if (bytes.size() < kMsfBlockSize) out_.append(kMsfBlockSize - bytes.size(), '\0');
  ++next_;
}

void MsfWriter::Append(uint32_t stream, std::string_view bytes) {
  if (bytes.size() > sizes_.at(stream) - written_[stream]) throw std::logic_error("a stream passes its size");
  std::string& pending = pending_[stream];
  while (!bytes.empty()) {
    const std::size_t take = std::min<std::size_t>(bytes.size(), kMsfBlockSize - pending.size());
    written_[stream] += take;
    if (pending.empty() && take == kMsfBlockSize) {
      // A whole block goes out without a copy.
      blocks_[stream].push_back(NextBlock());
      WriteBlock(bytes.substr(0, take));
    } else {
      pending.append(bytes.substr(0, take));
      if (pending.size() == kMsfBlockSize || written_[stream] == sizes_[stream]) {
        blocks_[stream].push_back(NextBlock());
        WriteBlock(pending);
        pending.clear();
      }
    }
    bytes.remove_prefix(take);
  }
  if (written_[stream] == sizes_[stream]) std::string().swap(pending);
}

void MsfWriter::Finish() {
  std::string directory;
  LeWriter w(directory);
  w.U32(static_cast<uint32_t>(sizes_.size()));
  for (std::size_t s = 0; s < sizes_.size(); ++s) {
    if (written_[s] != sizes_[s]) throw std::logic_error("a stream is shorter than its size");
    w.U32(static_cast<uint32_t>(sizes_[s]));
  }
  for (const std::vector<uint32_t>& list : blocks_) {
    for (const uint32_t block : list) w.U32(block);
  }
  std::string blockMap;
  for (std::size_t at = 0; at < directory.size(); at += kMsfBlockSize) {
    LeWriter(blockMap).U32(NextBlock());
    WriteBlock(std::string_view(directory).substr(at, kMsfBlockSize));
  }
  WriteBlock(blockMap);
  if (next_ < blockCount_) NextBlock();
  if (next_ != blockCount_) throw std::logic_error("the program database's blocks were miscounted");
  if (!out_.empty()) write_(out_);
  std::string().swap(out_);
}

}  // namespace qf
