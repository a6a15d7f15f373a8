// Gives each module of a minidump without a CodeView record one with a GUID
// of zeros, age 0 and the module's file name as PDB name, as Crashpad
// writes them for such modules (the dump writer of Windows writes none, and
// Breakpad finds no symbol file for a module without one):
//   add_codeview IN.dmp OUT.dmp
// The records are appended to the end of the copy.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace {

constexpr uint32_t kModuleListStream = 4;
constexpr uint32_t kModuleSize = 108;
constexpr uint32_t kModuleName = 20, kCvRecord = 76;

bool Has(const std::string& d, uint64_t at, uint64_t n) { return at <= d.size() && n <= d.size() - at; }
uint32_t U32(const std::string& d, uint64_t at) {
  uint32_t v = 0;
  for (int k = 3; k >= 0; --k) v = v << 8 | static_cast<unsigned char>(d[at + static_cast<uint64_t>(k)]);
  return v;
}
void Put32(std::string& d, uint64_t at, uint32_t v) {
  for (int k = 0; k < 4; ++k) d[at + static_cast<uint64_t>(k)] = static_cast<char>(v >> (8 * k) & 0xFF);
}

int Fail(const char* why) {
  std::fprintf(stderr, "add_codeview: %s\n", why);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return Fail("usage: add_codeview IN.dmp OUT.dmp");
  std::ifstream in(argv[1], std::ios::binary);
  std::string d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) return Fail("cannot read the dump");
  if (!Has(d, 0, 32) || d.compare(0, 4, "MDMP") != 0) return Fail("not a minidump");
  const uint32_t streams = U32(d, 8), directory = U32(d, 12);
  if (!Has(d, directory, uint64_t{streams} * 12)) return Fail("directory past the end");
  int added = 0;
  for (uint32_t s = 0; s < streams; ++s) {
    const uint64_t entry = directory + uint64_t{s} * 12;
    if (U32(d, entry) != kModuleListStream) continue;
    const uint32_t list = U32(d, entry + 8);
    if (!Has(d, list, 4)) return Fail("module list past the end");
    const uint32_t count = U32(d, list);
    if (!Has(d, list + 4, uint64_t{count} * kModuleSize)) return Fail("modules past the end");
    for (uint32_t m = 0; m < count; ++m) {
      const uint64_t module = list + 4 + uint64_t{m} * kModuleSize;
      if (U32(d, module + kCvRecord) != 0) continue;
      // The name: UTF-16LE after its length in bytes; its file part, in ASCII.
      const uint32_t nameAt = U32(d, module + kModuleName);
      if (!Has(d, nameAt, 4) || !Has(d, nameAt + 4, U32(d, nameAt))) return Fail("module name past the end");
      std::string name;
      for (uint32_t i = 0; i + 1 < U32(d, nameAt); i += 2) {
        const char c = d[nameAt + 4 + i];
        if (c == '\\' || c == '/') {
          name.clear();
        } else {
          name += c;
        }
      }
      while (d.size() % 4 != 0) d += '\0';
      const auto at = static_cast<uint32_t>(d.size());
      std::string record = "RSDS" + std::string(16 + 4, '\0') + name + '\0';
      d += record;
      Put32(d, module + kCvRecord, static_cast<uint32_t>(record.size()));
      Put32(d, module + kCvRecord + 4, at);
      ++added;
    }
  }
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out.write(d.data(), static_cast<std::streamsize>(d.size()));
  if (!out) return Fail("cannot write the copy");
  std::printf("%d CodeView records added\n", added);
  return 0;
}
