// The MSF container of the PDB writer read back by hand, and the PDB string
// hash against the places LLVM's own PDB writer gave names in a /names table.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "export/Msf.h"
#include "export/PdbHash.h"

namespace qf {
namespace {

uint32_t U32(const std::string& bytes, uint64_t at) {
  uint32_t v = 0;
  for (int k = 3; k >= 0; --k) v = v << 8 | static_cast<unsigned char>(bytes.at(at + static_cast<uint64_t>(k)));
  return v;
}

TEST(PdbMsfTest, StreamsReadBackFromTheirBlocksAndTheFreePageMap) {
  const std::vector<std::vector<uint64_t>> layouts = {
      {},
      {0, 0, 0},
      {1, 4095, 4096, 4097},
      {4096 * 4093, 10},               // data runs up to the second interval's free page maps
      {20u << 20, 0, 7000},            // a file of more than 16 MiB: 5,000 blocks and more
      std::vector<uint64_t>(1500, 70),  // a directory of more than one block
  };
  for (const std::vector<uint64_t>& sizes : layouts) {
    SCOPED_TRACE(::testing::PrintToString(sizes));
    std::vector<std::string> streams;
    for (std::size_t s = 0; s < sizes.size(); ++s) {
      std::string bytes(sizes[s], '\0');
      for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7 + s * 13 + 1) % 251);
      streams.push_back(std::move(bytes));
    }
    std::string file;
    {
      // The streams' bytes interleaved, in pieces of 3000.
      MsfWriter writer(sizes, [&](std::string_view piece) { file.append(piece); });
      for (uint64_t at = 0; at < (20u << 20); at += 3000) {
        for (std::size_t s = 0; s < sizes.size(); ++s) {
          if (at < sizes[s]) writer.Append(static_cast<uint32_t>(s), std::string_view(streams[s]).substr(at, 3000));
        }
      }
      writer.Finish();
    }

    ASSERT_EQ(file.compare(0, kMsfMagic.size(), kMsfMagic), 0);
    EXPECT_EQ(U32(file, 32), kMsfBlockSize);
    EXPECT_EQ(U32(file, 36), 1u);
    const uint32_t blockCount = U32(file, 40);
    ASSERT_EQ(file.size(), uint64_t{blockCount} * kMsfBlockSize);
    const auto block = [&](uint32_t b) { return uint64_t{b} * kMsfBlockSize; };
    std::set<uint32_t> used = {0};
    const auto use = [&](uint32_t b) {
      EXPECT_LT(b, blockCount);
      EXPECT_FALSE(IsFreePageMapBlock(b)) << "block " << b;
      EXPECT_TRUE(used.insert(b).second) << "block " << b << " used twice";
    };
    const uint32_t directoryBytes = U32(file, 44);
    const uint32_t blockMap = U32(file, 52);
    use(blockMap);
    std::string directory;
    for (uint32_t i = 0; i * uint64_t{kMsfBlockSize} < directoryBytes; ++i) {
      const uint32_t b = U32(file, block(blockMap) + 4 * i);
      use(b);
      directory += file.substr(block(b), kMsfBlockSize);
    }
    ASSERT_EQ(U32(directory, 0), sizes.size());
    uint64_t at = 4 + 4 * sizes.size();
    for (std::size_t s = 0; s < sizes.size(); ++s) {
      ASSERT_EQ(U32(directory, 4 + 4 * s), sizes[s]);
      std::string data;
      for (uint64_t n = 0; n * kMsfBlockSize < sizes[s]; ++n, at += 4) {
        const uint32_t b = U32(directory, at);
        use(b);
        data += file.substr(block(b), kMsfBlockSize);
      }
      data.resize(sizes[s]);
      EXPECT_TRUE(data == streams[s]) << "stream " << s;
    }
    EXPECT_EQ(at, directoryBytes);
    // Every block of the file is marked used: bit b of the map's bytes, which
    // lie in blocks 1, 4097, ... in turn.
    for (uint32_t b = 0; b < blockCount; ++b) {
      const uint32_t byte = b / 8;
      const uint64_t where = block(byte / kMsfBlockSize * kMsfBlockSize + 1) + byte % kMsfBlockSize;
      ASSERT_EQ(static_cast<unsigned char>(file[where]) >> (b % 8) & 1, 0) << "block " << b << " marked free";
    }
  }
}

TEST(PdbMsfTest, StringHashPlacesNamesWhereLlvmsWriterDid) {
  // Slots of a /names table of 209 buckets written by llvm-pdbutil yaml2pdb.
  const struct {
    const char* name;
    uint32_t slot;
  } known[] = {
      {"JclBase.pas", 1},    {"Printers.pas", 10}, {"win32api\\WinBase.imp", 18},
      {"Types.pas", 143},    {"Variants.pas", 37},  {"Math.pas", 172},
      {"System.pas", 195},   {"Forms.pas", 197},   {"C:\\Builds\\TP\\rtl\\sys\\delayhlp.c", 60},
      {"MainForm.pas", 130},
  };
  for (const auto& k : known) EXPECT_EQ(PdbHashV1(k.name) % 209, k.slot) << k.name;
  // The reference's growth: 1 bucket, 3/2 + 1 whenever 3/4 of them are passed.
  EXPECT_EQ(PdbStringTableBuckets(0), 1u);
  EXPECT_EQ(PdbStringTableBuckets(4), 7u);
  EXPECT_EQ(PdbStringTableBuckets(80), 139u);
}

}  // namespace
}  // namespace qf
