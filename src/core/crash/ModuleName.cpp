#include "crash/ModuleName.h"

#include "base/TextRules.h"

namespace qf {

std::string_view ModuleFileName(std::string_view path) {
  const size_t separator = path.find_last_of("\\/:");
  return separator == std::string_view::npos ? path : path.substr(separator + 1);
}

std::string_view WithoutExtension(std::string_view fileName) {
  const size_t dot = fileName.rfind('.');
  return dot == std::string_view::npos ? fileName : fileName.substr(0, dot);
}

bool IsModule(std::string_view module, std::string_view name) {
  const std::string_view file = ModuleFileName(module);
  return !name.empty() && (SameText(file, name) || SameText(WithoutExtension(file), name));
}

std::string MapModuleName(std::string_view mapPath) {
  return std::string(WithoutExtension(ModuleFileName(mapPath)));
}

}  // namespace qf
