// Fast libFuzzer target of the demangler: any bytes as one linker name, and
// again behind a '@' (Borland's mark). A name comes back unchanged or read
// whole: a Borland name then holds none of the scheme's marks, and its short
// form stands in its full one.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "names/Demangle.h"

namespace {

void CheckName(std::string_view name) {
  const std::string full = qf::DemangleName(name);
  const qf::NameScheme scheme = qf::MangledScheme(name);
  if (full == name) return;
  QF_CHECK(scheme != qf::NameScheme::None);
  if (scheme != qf::NameScheme::Borland) return;
  std::string brief;
  QF_CHECK(qf::DemangleBorland(name, qf::DemangleStyle::Short, brief));
  QF_CHECK(full.find_first_of("@$%") == std::string::npos);
  QF_CHECK(qf::fuzz::Contains(full, brief));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CheckName(bytes);
  if (!bytes.empty() && bytes[0] != '@') {
    static std::string marked;
    marked.assign(1, '@');
    marked += bytes;
    CheckName(marked);
  }
  return 0;
}
