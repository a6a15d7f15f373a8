#include "PathRules.h"

namespace qf {
namespace {

std::string_view::size_type LastSeparator(std::string_view path) {
  return path.find_last_of(PathSeparators);
}

}  // namespace

std::string ExtractFileName(std::string_view path) {
  const auto at = LastSeparator(path);
  return std::string(at == std::string_view::npos ? path : path.substr(at + 1));
}

std::string ExtractFilePath(std::string_view path) {
  const auto at = LastSeparator(path);
  return at == std::string_view::npos ? std::string() : std::string(path.substr(0, at + 1));
}

std::string ExtractFileExt(std::string_view path) {
  const auto dot = path.find_last_of('.');
  if (dot == std::string_view::npos) return std::string();
  const auto sep = LastSeparator(path);
  if (sep != std::string_view::npos && sep > dot) return std::string();
  return std::string(path.substr(dot));
}

std::string IncludeTrailingPathDelimiter(std::string_view path) {
  std::string out(path);
  if (out.empty() || out.back() != PathDelim) out += PathDelim;
  return out;
}

}  // namespace qf
