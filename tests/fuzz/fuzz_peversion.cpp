// libFuzzer target for the executable version reader: any bytes, and every
// prefix of short inputs, are answered without a read outside them; an
// answer of "found" always has a version text and a prefix that holds the
// whole image gives the same answer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "crash/PeVersion.h"

#define QF_CHECK(cond)                                                        \
  do {                                                                        \
    if (!(cond)) {                                                            \
      std::fprintf(stderr, "check failed: %s (line %d)\n", #cond, __LINE__); \
      std::abort();                                                           \
    }                                                                         \
  } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view image(reinterpret_cast<const char*>(data), size);
  const qf::PeFileVersion whole = qf::ReadPeFileVersion(image);
  QF_CHECK((whole.status == qf::PeFileVersion::Found) == !whole.Text().empty());
  QF_CHECK(whole.status == qf::PeFileVersion::NotPeImage || size >= 64);
  // A shorter prefix never finds more than the whole.
  for (std::size_t cut = size > 64 ? size - 64 : 0; cut < size; ++cut) {
    const qf::PeFileVersion part = qf::ReadPeFileVersion(image.substr(0, cut));
    if (part.status == qf::PeFileVersion::Found) QF_CHECK(part.Text() == whole.Text());
  }
  return 0;
}
