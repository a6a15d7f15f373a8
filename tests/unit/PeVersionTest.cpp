// The file version of Windows executables: images written by the test (PE32
// and PE32+), a program linked with a windres version resource, and damaged,
// truncated and foreign files, which must be refused without a read outside
// the bytes.
#include <gtest/gtest.h>

#include <string>

#include "base/Errors.h"
#include "PeImageWriter.h"
#include "image/PeImage.h"
#include "image/PeVersion.h"
#include "TestFiles.h"

namespace qf {
namespace {

using test::MakePeImage;
using test::PeImageShape;
using L = test::PeImageLayout;

TEST(PeImage, KeysAndDamagedHeaders) {
  EXPECT_EQ(SymbolServerKey(0x4A5BC3EE, 0x1E6000), "4A5BC3EE1e6000");
  EXPECT_EQ(SymbolServerKey(0x2A425E19, 0x3E000), "2A425E193e000");
  const std::string image = MakePeImage(PeImageShape{});
  ASSERT_TRUE(ReadPeImage(image));
  EXPECT_EQ(ReadPeImage(image)->MachineName(), "x86");
  for (const size_t cut : {size_t{0}, size_t{63}, size_t{L::kPeHeader + 3}, size_t{L::kOptionalHeader + 1}}) {
    EXPECT_FALSE(ReadPeImage(std::string_view(image).substr(0, cut))) << cut;
  }
  // A section table cut short keeps the sections that lie whole before the cut.
  const std::optional<PeImage> cutShort = ReadPeImage(std::string_view(image).substr(0, L::kText - 1));
  ASSERT_TRUE(cutShort);
  EXPECT_LE(cutShort->sections.size(), ReadPeImage(image)->sections.size());
  EXPECT_TRUE(PeBytesAt(*cutShort, std::string_view(image).substr(0, L::kText - 1), L::kTextRva, 16).empty());
}

std::string Patched(std::string image, uint32_t at, uint32_t value, int width) {
  for (int i = 0; i < width; ++i) image[at + i] = static_cast<char>(value >> (8 * i) & 0xFF);
  return image;
}

TEST(PeVersion, ReadsTheFixedFileVersionOfBothImageKinds) {
  const struct {
    bool is64;
    PeImageShape::Version version;
    const char* text;
  } cases[] = {
      {false, {1, 4, 0, 12}, "1.4.0.12"},
      {true, {2, 10, 3, 0}, "2.10.3.0"},
      {false, {65535, 0, 65535, 7}, "65535.0.65535.7"},
      {true, {0, 0, 0, 0}, "0.0.0.0"},
  };
  for (const auto& c : cases) {
    PeImageShape shape;
    shape.is64 = c.is64;
    shape.version = c.version;
    const PeFileVersion v = ReadPeFileVersion(MakePeImage(shape));
    EXPECT_EQ(v.status, PeFileVersion::Found) << c.text;
    EXPECT_EQ(v.is64, c.is64) << c.text;
    EXPECT_EQ(v.Text(), c.text);
  }
}

TEST(PeVersion, RefusesWhatIsNotAPeImage) {
  const std::string good = MakePeImage({});
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"MZ only", "MZ"},
      {"text", std::string(200, 'x')},
      {"ELF", "\x7f" "ELF" + std::string(200, '\0')},
      {"no MZ", Patched(good, 0, 'Z', 1)},
      {"PE header past the end", Patched(good, 0x3C, 0xFFFFFFF0, 4)},
      {"PE header at the last bytes", Patched(good, 0x3C, static_cast<uint32_t>(good.size() - 4), 4)},
      {"no PE signature", Patched(good, L::kPeHeader, 'N', 1)},
      {"ROM image magic", Patched(good, L::kOptionalHeader, 0x107, 2)},
      {"optional header too short", Patched(good, L::kPeHeader + 20, 1, 2)},
  };
  for (const auto& c : cases) {
    const PeFileVersion v = ReadPeFileVersion(c.bytes);
    EXPECT_EQ(v.status, PeFileVersion::NotPeImage) << c.name;
    EXPECT_EQ(v.Text(), "") << c.name;
  }
}

TEST(PeVersion, APeImageWithoutAReadableVersionAndDamageThatLeavesItReadable) {
  const std::string good = MakePeImage({});
  PeImageShape noResources;
  noResources.withResources = false;
  const uint32_t dirCount = L::kOptionalHeader + 92;
  const uint32_t sectionTable = L::kOptionalHeader + 224;
  constexpr auto kNone = PeFileVersion::NoVersionResource;
  constexpr auto kFound = PeFileVersion::Found;
  const struct {
    const char* name;
    std::string bytes;
    PeFileVersion::Status status;
  } cases[] = {
      {"no resources", MakePeImage(noResources), kNone},
      {"two data directories", Patched(good, dirCount, 2, 4), kNone},
      {"resource RVA 0", Patched(good, dirCount + 4 + 16, 0, 4), kNone},
      {"resource RVA in no section", Patched(good, dirCount + 4 + 16, 0x9000, 4), kNone},
      {"no sections", Patched(good, L::kPeHeader + 6, 0, 2), kNone},
      {"more sections than the headers hold", Patched(good, L::kPeHeader + 6, 0xFFFF, 2), kFound},
      {"resource section past the end", Patched(good, sectionTable + 60, 0x100000, 4), kNone},
      {"only an icon", Patched(good, L::kRsrc + 16, 3, 4), kNone},
      {"type leads to data", Patched(good, L::kRsrc + 20, 0x18, 4), kNone},
      {"type leads back to the root", Patched(good, L::kRsrc + 20, 0x80000000, 4), kNone},
      {"directory past the section", Patched(good, L::kRsrc + 20, 0x80001000, 4), kNone},
      {"no names", Patched(good, L::kRsrc + 0x18 + 14, 0, 2), kNone},
      {"more names than bytes", Patched(good, L::kRsrc + 0x18 + 14, 0xFFFF, 2), kFound},
      {"language leads to a directory", Patched(good, L::kRsrc + 0x30 + 20, 0x80000000, 4), kNone},
      {"data entry across the section's end", Patched(good, L::kRsrc + 0x30 + 20, 0x1F8, 4), kNone},
      {"data RVA in no section", Patched(good, L::kDataEntry, 0x5000, 4), kNone},
      {"data RVA on zeros", Patched(good, L::kDataEntry, L::kRsrcRva + 0x1F0, 4), kNone},
      {"data shorter than the fixed part", Patched(good, L::kDataEntry + 4, 80, 4), kNone},
      {"another key", Patched(good, L::kVersionInfo + 6, 'W', 2), kNone},
      {"no fixed part", Patched(good, L::kVersionInfo + 2, 0, 2), kNone},
      {"wrong signature", Patched(good, L::kFixedInfo, 0xFEEF04BE, 4), kNone},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadPeFileVersion(c.bytes).status, c.status) << c.name;
  }
}

TEST(PeVersion, EveryTruncationAndEveryDamagedByteIsAnsweredInsideTheBytes) {
  for (const bool is64 : {false, true}) {
    PeImageShape shape;
    shape.is64 = is64;
    const std::string image = MakePeImage(shape);
    for (std::size_t size = 0; size < image.size(); ++size) {
      const PeFileVersion v = ReadPeFileVersion(std::string_view(image).substr(0, size));
      if (size < L::kOptionalHeader + 2) {
        EXPECT_EQ(v.status, PeFileVersion::NotPeImage) << size;
      } else {
        EXPECT_EQ(v.status, size < L::kFixedInfo + 52 ? PeFileVersion::NoVersionResource : PeFileVersion::Found)
            << size;
      }
    }
    for (std::size_t at = 0; at < image.size(); ++at) {
      const PeFileVersion v = ReadPeFileVersion(Patched(image, static_cast<uint32_t>(at), 0xFF, 1));
      EXPECT_EQ(v.status == PeFileVersion::Found, !v.Text().empty()) << at;
    }
  }
}

TEST(PeVersion, ReadsAFileAndReportsOneThatCannotBeRead) {
  const test::ScratchFile file("pe_version_test.exe", MakePeImage({}));
  EXPECT_EQ(ReadPeFileVersionOfFile(file.Name()).Text(), "1.4.0.12");
  EXPECT_THROW(ReadPeFileVersionOfFile("pe_version_test_missing.exe"), EFOpenError);
}

#ifdef QF_WINDRES_EXE
// A program linked by MinGW with a version resource compiled by windres.
// The linked program is of the Windows build's own bitness (a native build
// makes a 32-bit one).
TEST(PeVersion, ReadsTheVersionOfALinkedProgram) {
  const PeFileVersion v = ReadPeFileVersionOfFile(QF_WINDRES_EXE);
  EXPECT_EQ(v.status, PeFileVersion::Found);
  EXPECT_EQ(v.is64, QF_WINDRES_EXE_IS64 != 0) << QF_WINDRES_EXE;
  EXPECT_EQ(v.Text(), "1.4.0.12");
}

TEST(PeImage, ReadsTheHeadersOfALinkedProgram) {
  const std::string bytes = PlatformFileSystem().ReadWholeFile(QF_WINDRES_EXE);
  const std::optional<PeImage> image = ReadPeImage(bytes);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->MachineName(), QF_WINDRES_EXE_IS64 ? "x64" : "x86");
  EXPECT_EQ(image->imageBase, QF_WINDRES_EXE_IS64 ? 0x140000000u : 0x400000u);
  const PeSection* text = image->SectionAt(0x1000);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text->name, ".text");
  EXPECT_TRUE(text->IsCode());
  // The last section ends where the image does, rounded to a page.
  const PeSection& last = image->sections.back();
  EXPECT_EQ((last.virtualAddress + last.Span() + 0xFFF) & ~0xFFFu, image->sizeOfImage);
  EXPECT_EQ(image->SymbolServerKey(), SymbolServerKey(image->timeDateStamp, image->sizeOfImage));
  EXPECT_EQ(PeBytesAt(*image, bytes, 0x1000, 4), std::string_view(bytes).substr(text->rawOffset, 4));
}
#endif

}  // namespace
}  // namespace qf
