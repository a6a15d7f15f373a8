// Fast libFuzzer target of the executable version reader: any bytes are
// read once, without a read outside them. A version found is the one of a
// fixed file information block that stands in the bytes. The same image cut
// short is read in fuzz_crosscheck.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "FuzzCheck.h"
#include "image/PeVersion.h"

namespace {

uint32_t U32At(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

// A VS_FIXEDFILEINFO signature followed, after its structure version, by
// these two version numbers.
bool HoldsFixedInfo(const uint8_t* data, std::size_t size, uint32_t ms, uint32_t ls) {
  static constexpr uint8_t kSignature[] = {0xBD, 0x04, 0xEF, 0xFE};
  for (std::size_t at = 0; at + 16 <= size; ++at) {
    const void* hit = memmem(data + at, size - at, kSignature, sizeof kSignature);
    if (hit == nullptr) return false;
    at = static_cast<std::size_t>(static_cast<const uint8_t*>(hit) - data);
    if (at + 16 <= size && U32At(data + at + 8) == ms && U32At(data + at + 12) == ls) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view image(reinterpret_cast<const char*>(data), size);
  const qf::PeFileVersion version = qf::ReadPeFileVersion(image);
  QF_CHECK((version.status == qf::PeFileVersion::Found) == !version.Text().empty());
  QF_CHECK(version.status == qf::PeFileVersion::NotPeImage || (size >= 64 && image.substr(0, 2) == "MZ"));
  if (version.status == qf::PeFileVersion::Found) {
    QF_CHECK(HoldsFixedInfo(data, size, version.versionMS, version.versionLS));
  }
  return 0;
}
