// Binding real images to a PDB: the copy keeps the identity a dump names the
// module by, reads back the CodeView record, keeps other debug entries and a
// right checksum; signed images, appended data and images without room are
// refused unless forced where forcing can help.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "image/PeBind.h"
#include "image/PeImage.h"

namespace qf {
namespace {

std::string Dump(const std::string& name) {
  std::ifstream in(std::string(QF_DUMPS_DIR) + "/" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
uint32_t U32(const std::string& b, uint64_t at) { return *LeBytes(b).U32(at); }
void Put32(std::string& b, uint64_t at, uint32_t v) {
  for (unsigned k = 0; k < 4; ++k) b[at + k] = static_cast<char>(v >> (8 * k) & 0xFF);
}
uint64_t Optional(const std::string& b) { return U32(b, 0x3C) + 24; }
uint64_t Directory(const std::string& b, unsigned i) { return Optional(b) + (ReadPeImage(b)->is64 ? 112 : 96) + i * 8; }
uint32_t Checksum(std::string b) {
  Put32(b, Optional(b) + 64, 0);
  uint64_t sum = 0;
  for (size_t i = 0; i < b.size(); i += 2) {
    sum += static_cast<unsigned char>(b[i]) | (i + 1 < b.size() ? static_cast<unsigned char>(b[i + 1]) << 8 : 0);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return static_cast<uint32_t>(sum + b.size());
}

BindRequest Request(std::string name, bool force = false) {
  BindRequest r;
  for (uint8_t i = 0; i < 16; ++i) r.guid[i] = static_cast<uint8_t>(0xA0 + i);
  r.age = 3;
  r.pdbName = std::move(name);
  r.force = force;
  return r;
}

TEST(PeBind, RealImages) {
  const std::string longName(600, 'n');  // more than the slack of any section: the last one grows
  struct Row {
    const char* image;
    std::string pdb;
    bool force;
    std::function<void(std::string&)> change;
    const char* refusal;  // empty: bound
  } rows[] = {
      {"win64/CrashApp.exe", "C:\\out\\CrashApp.pdb", false, {}, ""},
      {"Checked32/data/Checked32.exe", "Checked32.pdb", false, {}, ""},
      {"Frameless/data/FrameLib.dll", longName + ".pdb", false, {}, ""},
      // A second binding replaces the CodeView entry and keeps the others.
      {"win64/CrashLib.dll", longName + ".pdb", false,
       [](std::string& b) {
         b = BindCodeView(b, Request("first.pdb")).bytes;
         const uint32_t debug = U32(b, Directory(b, 6));
         const PeSection* s = ReadPeImage(b)->SectionAt(debug);
         Put32(b, s->rawOffset + (debug - s->virtualAddress) + 12, 16);  // no longer CodeView
         b = BindCodeView(b, Request("second.pdb")).bytes;
       },
       ""},
      {"win64/CrashApp.exe", "a.pdb", false, [](std::string& b) { Put32(b, Directory(b, 4), uint32_t(b.size())), Put32(b, Directory(b, 4) + 4, 8), b += std::string(8, 'c'); }, "before signing"},
      {"win64/CrashApp.exe", "a.pdb", true, [](std::string& b) { Put32(b, Directory(b, 4), uint32_t(b.size())), Put32(b, Directory(b, 4) + 4, 8), b += std::string(8, 'c'); }, ""},
      {"Frameless/data/Frameless.exe", "a.pdb", false, [](std::string& b) { b += "appended"; }, "appended after its last section"},
      {"Frameless/data/Frameless.exe", longName, true, [](std::string& b) { b += "appended"; }, ""},
      // Every section filling its pages up to the next one.
      {"Checked32/data/Checked32.exe", "a.pdb", true,
       [](std::string& b) {
         const PeImage image = *ReadPeImage(b);
         const uint64_t table = Optional(b) + *LeBytes(b).U16(U32(b, 0x3C) + 20);
         for (size_t i = 0; i < image.sections.size(); ++i) {
           const uint32_t end = i + 1 < image.sections.size() ? image.sections[i + 1].virtualAddress : image.sizeOfImage;
           Put32(b, table + i * 40 + 8, end - image.sections[i].virtualAddress);
         }
       },
       "no room"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.image) + " " + row.refusal);
    std::string original = Dump(row.image);
    ASSERT_FALSE(original.empty());
    const uint32_t storedChecksum = U32(original, Optional(original) + 64);
    EXPECT_EQ(storedChecksum, Checksum(original));  // the linker's sum is the one recomputed here
    if (row.change) row.change(original);
    const BindOutcome outcome = BindCodeView(original, Request(row.pdb, row.force));
    if (*row.refusal != '\0') {
      EXPECT_NE(outcome.refusal.find(row.refusal), std::string::npos) << outcome.refusal;
      EXPECT_TRUE(outcome.bytes.empty());
      continue;
    }
    ASSERT_EQ(outcome.refusal, "");
    const PeImage before = *ReadPeImage(original);
    const std::optional<PeImage> after = ReadPeImage(outcome.bytes);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->timeDateStamp, before.timeDateStamp);
    EXPECT_EQ(after->sizeOfImage, before.sizeOfImage);
    EXPECT_EQ(after->Directory(4).size, 0u);
    const std::optional<PeCodeView> view = ReadPeCodeView(*after, outcome.bytes);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->guid, Request("").guid);
    EXPECT_EQ(view->age, 3u);
    EXPECT_EQ(view->pdbName, row.pdb.substr(row.pdb.find_last_of('\\') + 1));
    EXPECT_EQ(U32(outcome.bytes, Optional(outcome.bytes) + 64), Checksum(outcome.bytes));
    // The COFF symbol table, moved or not, and anything appended follow unchanged.
    const uint32_t symbols = U32(outcome.bytes, U32(outcome.bytes, 0x3C) + 12);
    if (symbols != 0) {
      EXPECT_EQ(outcome.bytes.substr(symbols), original.substr(U32(original, U32(original, 0x3C) + 12)).substr(0, outcome.bytes.size() - symbols));
    }
    const uint32_t entries = after->Directory(6).size / 28;
    EXPECT_EQ(entries, before.Directory(6).size / 28 + (before.Directory(6).size == 0 ? 1 : 0));
  }
}

}  // namespace
}  // namespace qf
