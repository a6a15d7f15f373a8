// A minimal Windows executable image written byte by byte: DOS header, PE
// header (PE32 or PE32+), a .text section and optionally a .rsrc section
// holding one version resource (RT_VERSION, name 1, language 0x409). Enough
// for a reader of the version resource; it does not run.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace qf::test {

struct PeImageShape {
  bool is64 = false;
  bool withResources = true;
  uint32_t timeDateStamp = 0x5F1E2A3B;  // the build's identity, with SizeOfImage
  using Version = std::array<uint16_t, 4>;
  Version version = {1, 4, 0, 12};
};

// Layout of what MakePeImage writes (file offsets), for tests that damage it.
struct PeImageLayout {
  static constexpr uint32_t kPeHeader = 0x40;
  static constexpr uint32_t kOptionalHeader = kPeHeader + 24;
  static constexpr uint32_t kText = 0x200, kTextRva = 0x1000;
  static constexpr uint32_t kRsrc = 0x400, kRsrcRva = 0x2000;
  static constexpr uint32_t kDataEntry = kRsrc + 0x48;
  static constexpr uint32_t kVersionInfo = kRsrc + 0x58;
  static constexpr uint32_t kFixedInfo = kVersionInfo + 40;
};

namespace pe_detail {

inline void Put16(std::string& image, uint32_t at, uint32_t value) {
  image[at] = static_cast<char>(value & 0xFF);
  image[at + 1] = static_cast<char>(value >> 8 & 0xFF);
}

inline void Put32(std::string& image, uint32_t at, uint32_t value) {
  Put16(image, at, value & 0xFFFF);
  Put16(image, at + 2, value >> 16);
}

// A resource directory with one entry.
inline void PutDirectory(std::string& image, uint32_t at, uint32_t name, uint32_t target) {
  Put16(image, at + 14, 1);  // one id entry
  Put32(image, at + 16, name);
  Put32(image, at + 20, target);
}

}  // namespace pe_detail

inline std::string MakePeImage(const PeImageShape& shape) {
  using namespace pe_detail;
  using L = PeImageLayout;
  const uint32_t sections = shape.withResources ? 2 : 1;
  std::string image(shape.withResources ? L::kRsrc + 0x200 : L::kRsrc, '\0');

  image[0] = 'M';
  image[1] = 'Z';
  Put32(image, 0x3C, L::kPeHeader);
  image.replace(L::kPeHeader, 4, std::string("PE\0\0", 4));
  const uint32_t file = L::kPeHeader + 4;
  const uint32_t optionalSize = shape.is64 ? 240 : 224;
  Put16(image, file, shape.is64 ? 0x8664 : 0x014C);
  Put16(image, file + 2, sections);
  Put32(image, file + 4, shape.timeDateStamp);
  Put16(image, file + 16, optionalSize);
  Put16(image, file + 18, shape.is64 ? 0x0022 : 0x0102);

  const uint32_t opt = L::kOptionalHeader;
  Put16(image, opt, shape.is64 ? 0x20B : 0x10B);
  Put32(image, opt + 4, 0x200);            // SizeOfCode
  Put32(image, opt + 16, L::kTextRva);     // AddressOfEntryPoint
  Put32(image, opt + 20, L::kTextRva);     // BaseOfCode
  if (shape.is64) {                         // ImageBase 0x140000000 (64 bits)
    Put32(image, opt + 24, 0x40000000);
    Put32(image, opt + 28, 1);
  } else {                                 // ImageBase 0x400000 after BaseOfData
    Put32(image, opt + 28, 0x400000);
  }
  Put32(image, opt + 32, 0x1000);          // SectionAlignment
  Put32(image, opt + 36, 0x200);           // FileAlignment
  Put16(image, opt + 40, 4);               // OS version 4.0
  Put16(image, opt + 48, 4);               // subsystem version 4.0
  Put32(image, opt + 56, L::kTextRva + sections * 0x1000);  // SizeOfImage
  Put32(image, opt + 60, L::kText);        // SizeOfHeaders
  Put16(image, opt + 68, 2);               // Windows GUI
  const uint32_t countAt = shape.is64 ? 108 : 92;
  Put32(image, opt + countAt, 16);
  if (shape.withResources) {
    Put32(image, opt + countAt + 4 + 2 * 8, L::kRsrcRva);
    Put32(image, opt + countAt + 4 + 2 * 8 + 4, 0x58 + 92);
  }

  const uint32_t table = opt + optionalSize;
  image.replace(table, 5, ".text");
  Put32(image, table + 8, 0x10);           // VirtualSize
  Put32(image, table + 12, L::kTextRva);
  Put32(image, table + 16, 0x200);
  Put32(image, table + 20, L::kText);
  Put32(image, table + 36, 0x60000020);    // code, execute, read
  image[L::kText] = static_cast<char>(0xC3);  // ret
  if (!shape.withResources) return image;
  image.replace(table + 40, 5, ".rsrc");
  Put32(image, table + 48, 0x58 + 92);
  Put32(image, table + 52, L::kRsrcRva);
  Put32(image, table + 56, 0x200);
  Put32(image, table + 60, L::kRsrc);
  Put32(image, table + 76, 0x40000040);    // initialised data, read

  // Directory offsets are relative to the section; the data entry holds an RVA.
  PutDirectory(image, L::kRsrc, 16, 0x80000018);          // RT_VERSION
  PutDirectory(image, L::kRsrc + 0x18, 1, 0x80000030);    // name 1
  PutDirectory(image, L::kRsrc + 0x30, 0x409, 0x48);      // language
  Put32(image, L::kDataEntry, L::kRsrcRva + 0x58);
  Put32(image, L::kDataEntry + 4, 92);

  const uint32_t info = L::kVersionInfo;
  Put16(image, info, 92);                  // wLength
  Put16(image, info + 2, 52);              // wValueLength
  const char key[] = "VS_VERSION_INFO";
  for (uint32_t i = 0; key[i] != '\0'; ++i) Put16(image, info + 6 + 2 * i, static_cast<unsigned char>(key[i]));
  const uint32_t fixed = L::kFixedInfo;
  Put32(image, fixed, 0xFEEF04BD);
  Put32(image, fixed + 4, 0x00010000);
  Put32(image, fixed + 8, uint32_t{shape.version[0]} << 16 | shape.version[1]);
  Put32(image, fixed + 12, uint32_t{shape.version[2]} << 16 | shape.version[3]);
  Put32(image, fixed + 16, 0x00090009);    // a product version that differs
  Put32(image, fixed + 20, 0x00090009);
  Put32(image, fixed + 32, 0x00040004);    // VOS_NT_WINDOWS32
  Put32(image, fixed + 36, 1);             // VFT_APP
  return image;
}

}  // namespace qf::test
