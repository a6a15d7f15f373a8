#include "export/PdbIdentity.h"

#include <algorithm>
#include <optional>

#include "base/Sha256.h"

namespace qf {
namespace {

std::string FilePart(std::string_view path) {
  const std::size_t cut = path.find_last_of("\\/:");
  return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

}  // namespace

PdbIdentity PdbIdentityOfDigest(const PeImage* image, std::string_view imageBytes,
                                const std::array<uint8_t, 32>& mapSha256, std::string_view defaultName) {
  PdbIdentity id;
  if (image != nullptr) {
    if (const std::optional<PeCodeView> codeView = ReadPeCodeView(*image, imageBytes)) {
      id.guid = codeView->guid;
      id.age = codeView->age;
      id.pdbName = FilePart(codeView->pdbName);
    }
  }
  if (id.pdbName.empty()) {
    Sha256 hash;
    const std::array<uint8_t, 32> imageDigest = [&] {
      Sha256 h;
      if (image != nullptr) h.Update(imageBytes);
      return h.Finish();
    }();
    hash.Update(std::string_view(reinterpret_cast<const char*>(imageDigest.data()), imageDigest.size()));
    hash.Update(std::string_view(reinterpret_cast<const char*>(mapSha256.data()), mapSha256.size()));
    const std::array<uint8_t, 32> digest = hash.Finish();
    std::copy_n(digest.begin(), id.guid.size(), id.guid.begin());
    id.age = 1;
    id.pdbName = FilePart(defaultName);
  }
  return id;
}

PdbIdentity PdbIdentityOf(const PeImage* image, std::string_view imageBytes, std::string_view mapBytes,
                          std::string_view defaultName) {
  Sha256 hash;
  hash.Update(mapBytes);
  return PdbIdentityOfDigest(image, imageBytes, hash.Finish(), defaultName);
}

}  // namespace qf
