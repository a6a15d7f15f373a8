#include "DumpImages.h"

#include "SymbolizedOutput.h"
#include "base/Errors.h"
#include "base/FileSystem.h"
#include "base/TextRules.h"

namespace qf::cli {
namespace {

std::string_view FileNameOf(std::string_view path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

DumpImages::DumpImages(const std::string& command, const Minidump& dump, const SymbolizeOptions& options,
                       std::ostream& err, const std::vector<std::string>& stored)
    : command_(command), dump_(dump), err_(err), images_(dump.modules.size()) {
  for (size_t i = 0; i < stored.size() && i < images_.size(); ++i) {
    std::optional<PeImage> image;
    if (!stored[i].empty() && Read(stored[i], image)) Use(stored[i], std::move(*image), i);
  }
  for (const std::string& file : options.images) AddFile(file);
  if (options.imagesDir) AddFolder(*options.imagesDir);
}

void DumpImages::AddFile(const std::string& file) {
  std::optional<PeImage> image;
  if (!Read(file, image)) return;
  const std::string_view name = FileNameOf(file);
  for (size_t i = 0; i < dump_.modules.size(); ++i)
    if (SameText(dump_.modules[i].Name(), name)) return Use(file, std::move(*image), i);
  for (size_t i = 0; i < dump_.modules.size(); ++i)
    if (image->timeDateStamp == dump_.modules[i].timeDateStamp && image->sizeOfImage == dump_.modules[i].size)
      return Use(file, std::move(*image), i);
  Ignored(file + " is the image of no module of the dump (TimeDateStamp 0x" + Hex(image->timeDateStamp, 8) +
          ", SizeOfImage 0x" + Hex(image->sizeOfImage, 1) + ")");
}

void DumpImages::AddFolder(const std::string& folder) {
  const FileSystem& fs = PlatformFileSystem();
  for (size_t i = 0; i < dump_.modules.size(); ++i) {
    if (images_[i]) continue;
    const std::string file = folder + "/" + std::string(dump_.modules[i].Name());
    if (dump_.modules[i].Name().empty() || !fs.FileExists(file)) continue;
    std::optional<PeImage> image;
    if (Read(file, image)) Use(file, std::move(*image), i);
  }
}

bool DumpImages::Read(const std::string& file, std::optional<PeImage>& image) {
  auto bytes = std::make_unique<std::string>(PlatformFileSystem().ReadWholeFile(file));
  image = ReadPeImage(*bytes);
  if (!image) {
    Ignored(file + " is not a PE image");
    return false;
  }
  bytes_.push_back(std::move(bytes));
  return true;
}

void DumpImages::Use(const std::string& file, PeImage image, size_t i) {
  const MinidumpModule& module = dump_.modules[i];
  if (image.timeDateStamp != module.timeDateStamp || image.sizeOfImage != module.size) {
    Ignored(file + " is not the image of " + std::string(module.Name()) + " in the dump (TimeDateStamp 0x" +
            Hex(image.timeDateStamp, 8) + ", SizeOfImage 0x" + Hex(image.sizeOfImage, 1) + "; the dump's 0x" +
            Hex(module.timeDateStamp, 8) + ", 0x" + Hex(module.size, 1) + ")");
    return;
  }
  images_[i] = std::make_unique<ModuleImage>(std::move(image), *bytes_.back());
}

void DumpImages::Ignored(const std::string& why) { PrintError(err_, command_ + ": " + why + "; ignored"); }

}  // namespace qf::cli
