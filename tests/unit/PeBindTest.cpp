// Binding the kept real images to a PDB, and the images binding refuses.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>

#include "image/PeBind.h"
#include "image/PeImage.h"

namespace qf {
namespace {

uint32_t U32(const std::string& b, uint64_t at) { return *LeBytes(b).U32(at); }
void Put32(std::string& b, uint64_t at, uint32_t v) {
  for (unsigned k = 0; k < 4; ++k) b[at + k] = static_cast<char>(v >> (8 * k));
}
uint64_t Optional(const std::string& b) { return U32(b, 0x3C) + 24; }
uint64_t Directory(const std::string& b, unsigned i) { return Optional(b) + (ReadPeImage(b)->is64 ? 112 : 96) + i * 8; }
uint32_t Checksum(std::string b) {  // 16-bit one's-complement sum, checksum field zero, plus the length
  Put32(b, Optional(b) + 64, 0);
  uint64_t sum = 0;
  for (size_t i = 0; i < b.size(); i += 2) {
    sum += static_cast<uint8_t>(b[i]) | static_cast<uint8_t>(b[i + 1]) << 8;  // b[size()] is '\0'
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return static_cast<uint32_t>(sum + b.size());
}
const std::array<uint8_t, 16> kGuid{0xA0, 0xA1, 0xA2, 0xA3, 0xA4};
BindOutcome Bind(const std::string& image, std::string name, bool force = false) {
  return BindCodeView(image, BindRequest{kGuid, 3, std::move(name), force});
}
void Sign(std::string& b) {  // a certificate table at the end
  Put32(b, Directory(b, 4), uint32_t(b.size()));
  Put32(b, Directory(b, 4) + 4, 8);
  b += "cert1234";
}
void BindLonger(std::string& b) { b = Bind(b, "a-longer-name.pdb").bytes; }  // rebound in place
void Append(std::string& b) { b += "appended"; }
void Rebind(std::string& b) {  // bound, its entry made another type, bound again: two entries
  b = Bind(b, "first.pdb").bytes;
  const PeImage pe = *ReadPeImage(b);
  b[static_cast<size_t>(PeBytesAt(pe, b, pe.Directory(6).rva, 28).data() - b.data()) + 12] = 16;
  b = Bind(b, "second.pdb").bytes;
}
void FillPages(std::string& b) {  // every section's contents up to the next one
  const PeImage pe = *ReadPeImage(b);
  const uint64_t table = Optional(b) + *LeBytes(b).U16(U32(b, 0x3C) + 20);
  for (size_t i = 0; i < pe.sections.size(); ++i) {
    const uint32_t end = i + 1 < pe.sections.size() ? pe.sections[i + 1].virtualAddress : pe.sizeOfImage;
    Put32(b, table + i * 40 + 8, end - pe.sections[i].virtualAddress);
  }
}
void FillAllPages(std::string& b) {  // the header page too: bound imports up to the first section
  FillPages(b);
  const uint64_t table = Optional(b) + *LeBytes(b).U16(U32(b, 0x3C) + 20);
  const uint32_t end = uint32_t(table + ReadPeImage(b)->sections.size() * 40);
  Put32(b, Directory(b, 11), end);
  Put32(b, Directory(b, 11) + 4, ReadPeImage(b)->sections[0].virtualAddress - end);
}

TEST(PeBind, RealImages) {
  const std::string grows(600, 'n');  // more than any section's slack: the last section grows
  const struct {
    const char* image;
    std::string pdb;
    bool force;
    std::function<void(std::string&)> change;
    const char* refusal;
  } rows[] = {
      {"win64/CrashApp.exe", "C:\\out\\CrashApp.pdb", false, {}, ""},
      {"Checked32/data/Checked32.exe", "Checked32.pdb", false, {}, ""},
      {"Frameless/data/FrameLib.dll", grows, false, {}, ""},
      {"win64/CrashLib.dll", grows, false, Rebind, ""},
      {"win64/CrashLib.dll", "short.pdb", false, BindLonger, ""},
      {"win64/CrashApp.exe", "a.pdb", false, Sign, "binding must come before signing"},
      {"win64/CrashApp.exe", "a.pdb", true, Sign, ""},
      {"Frameless/data/Frameless.exe", "a.pdb", false, Append, "appended after its last section"},
      {"Frameless/data/Frameless.exe", grows, true, Append, ""},
      {"Checked32/data/Checked32.exe", "a.pdb", true, FillAllPages, "no room"},
      {"Checked32/data/Checked32.exe", "a.pdb", false, FillPages, ""},  // in the header page
      {"Checked32/data/Checked32.exe", grows, false, FillPages, ""},    // the headers grown, the sections moved
      {"../data/stripped/CrashLib.dll", "CrashLib.pdb", false, {}, ""},
      {"../data/real-programs/bcb6-autoupdate/AuUpdateBackgroundService.exe", "a.pdb", false, {}, ""},
      {"../data/real-programs/bcb6-autoupdate/AuUpdateBackgroundService.exe", grows, false, {}, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.image) + " " + row.refusal);
    std::ifstream in(std::string(QF_DUMPS_DIR) + "/" + row.image, std::ios::binary);
    std::string original((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(U32(original, Optional(original) + 64), Checksum(original));  // the linker's, so the sum is right
    if (row.change) row.change(original);
    const BindOutcome bound = Bind(original, row.pdb, row.force);
    if (*row.refusal != '\0') {
      EXPECT_NE(bound.refusal.find(row.refusal), std::string::npos) << bound.refusal;
      continue;
    }
    ASSERT_EQ(bound.refusal, "");
    const PeImage before = *ReadPeImage(original), after = *ReadPeImage(bound.bytes);
    EXPECT_EQ(after.SymbolServerKey(), before.SymbolServerKey());
    EXPECT_EQ(after.Directory(4).size, 0u);
    EXPECT_EQ(after.Directory(6).size / 28, std::max(before.Directory(6).size / 28, 1u));  // the others kept
    const std::optional<PeCodeView> view = ReadPeCodeView(after, bound.bytes);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->guid, kGuid);
    EXPECT_EQ(view->age, 3u);
    EXPECT_EQ(view->pdbName, row.pdb.substr(row.pdb.find_last_of('\\') + 1));
    EXPECT_EQ(U32(bound.bytes, Optional(bound.bytes) + 64), Checksum(bound.bytes));
    EXPECT_EQ(*LeBytes(bound.bytes).U16(U32(bound.bytes, 0x3C) + 22) & 0x200, 0);  // not marked stripped
    for (size_t i = 0; !ReadPeCodeView(before, original) && i < after.sections.size(); ++i) {  // moved or not, unchanged
      const PeSection &was = before.sections[i], &is = after.sections[i];
      EXPECT_EQ(bound.bytes.substr(is.rawOffset, std::min(was.rawSize, was.Span())),
                original.substr(was.rawOffset, std::min(was.rawSize, was.Span())));
    }
    // The COFF symbol table (section names) and appended data follow, moved or not, unchanged.
    const uint32_t symbols = U32(bound.bytes, U32(bound.bytes, 0x3C) + 12);
    const uint32_t symbolsBefore = U32(original, U32(original, 0x3C) + 12);
    if (symbolsBefore != 0) {
      EXPECT_EQ(bound.bytes.substr(symbols), original.substr(symbolsBefore, bound.bytes.size() - symbols));
    }
  }
}

}  // namespace
}  // namespace qf
