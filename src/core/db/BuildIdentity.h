// The identity of a stored build: what `db add-build` keeps beside
// db/PROJECT/VERSION.map as db/PROJECT/VERSION.build, a small text file of
// KEY=VALUE lines (in this order when written; read in any order, unknown
// keys kept aside for those who add their own, blank lines and lines that
// start with "#" skipped):
//
//   module=CrashLib.dll                 the executable's file name
//   machine=x64                         x86, x64 or other
//   time_date_stamp=0x5F1E2A3B          the image's TimeDateStamp (hex)
//   size_of_image=0x1D000               its SizeOfImage (hex)
//   code_id=5F1E2A3B1d000               the symbol-server key: %08X%x of the two
//   file_version=2.7.1.8                absent without a version resource
//   sha256=<64 lower-case hex digits>   of the executable file
//
// A crash names a build by its TimeDateStamp and SizeOfImage (a minidump's
// module list, an Application Error event's "time stamp: 0x..."); two
// builds of one version differ there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qf {

struct BuildIdentity {
  std::string module;
  std::string machine;
  uint32_t timeDateStamp = 0;
  uint32_t sizeOfImage = 0;
  std::optional<std::string> fileVersion;
  std::string sha256;
  // Lines of other keys, kept as read (KEY, VALUE).
  std::vector<std::pair<std::string, std::string>> others;

  // %08X of the TimeDateStamp and %x of the SizeOfImage ("5F1E2A3B1d000").
  std::string CodeId() const;
  bool SameBuild(uint32_t stamp, uint32_t size) const { return timeDateStamp == stamp && sizeOfImage == size; }
  bool SameBuild(const BuildIdentity& other) const { return SameBuild(other.timeDateStamp, other.sizeOfImage); }
};

// The text of a .build file.
std::string FormatBuildIdentity(const BuildIdentity& identity);

// A .build file's text read back; none when it is damaged, with what is
// wrong in problem ("line 3: time_date_stamp is not a hexadecimal number").
// module, machine, time_date_stamp and size_of_image must be there; a code_id
// must agree with the two; a sha256 must be 64 hexadecimal digits.
std::optional<BuildIdentity> ParseBuildIdentity(const std::string& text, std::string& problem);

}  // namespace qf
