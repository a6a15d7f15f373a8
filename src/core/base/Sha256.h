// SHA-256 (FIPS 180-4), fed piece by piece: the fingerprint of an executable
// that the MAP database keeps beside its MAP file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qf {

class Sha256 {
 public:
  Sha256();
  void Update(std::string_view bytes);
  // The digest of everything fed; the object must not be fed afterwards.
  std::array<uint8_t, 32> Finish();
  // The digest as 64 lower-case hexadecimal digits.
  std::string FinishHex();

 private:
  void Block(const uint8_t* block);
  std::array<uint32_t, 8> state_;
  std::array<uint8_t, 64> pending_{};
  std::size_t pendingSize_ = 0;
  uint64_t totalBytes_ = 0;
};

// The digest of bytes as 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::string_view bytes);

class FileSystem;
// The digest of a file read piece by piece (a MAP file may be large); throws
// as the file system's reads do.
std::array<uint8_t, 32> FileSha256(const FileSystem& fs, const std::string& path);

}  // namespace qf
