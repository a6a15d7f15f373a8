#include "base/PathRules.h"

namespace qf {
namespace {

LeadBytePredicate gIsLeadByte = nullptr;

std::string_view::size_type LastSeparator(std::string_view path) {
  return FindLastCharOf(path, PathSeparators);
}

}  // namespace

void SetLeadBytePredicate(LeadBytePredicate isLeadByte) { gIsLeadByte = isLeadByte; }

bool IsLeadByte(unsigned char c) { return gIsLeadByte != nullptr && gIsLeadByte(c); }

std::string_view::size_type FindLastCharOf(std::string_view path, std::string_view chars) {
  if (gIsLeadByte == nullptr) return path.find_last_of(chars);
  auto found = std::string_view::npos;
  for (std::string_view::size_type i = 0; i < path.size(); ++i) {
    if (gIsLeadByte(static_cast<unsigned char>(path[i]))) {
      ++i;  // the trail byte belongs to this character
    } else if (chars.find(path[i]) != std::string_view::npos) {
      found = i;
    }
  }
  return found;
}

bool ContainsCharOf(std::string_view path, std::string_view chars) {
  if (gIsLeadByte == nullptr) return path.find_first_of(chars) != std::string_view::npos;
  for (std::string_view::size_type i = 0; i < path.size(); ++i) {
    if (gIsLeadByte(static_cast<unsigned char>(path[i]))) {
      ++i;
    } else if (chars.find(path[i]) != std::string_view::npos) {
      return true;
    }
  }
  return false;
}

std::string ExtractFileName(std::string_view path) {
  const auto at = LastSeparator(path);
  return std::string(at == std::string_view::npos ? path : path.substr(at + 1));
}

std::string ExtractFilePath(std::string_view path) {
  const auto at = LastSeparator(path);
  return at == std::string_view::npos ? std::string() : std::string(path.substr(0, at + 1));
}

std::string ExtractFileExt(std::string_view path) {
  const auto dot = FindLastCharOf(path, ".");
  if (dot == std::string_view::npos) return std::string();
  const auto sep = LastSeparator(path);
  if (sep != std::string_view::npos && sep > dot) return std::string();
  return std::string(path.substr(dot));
}

std::string IncludeTrailingPathDelimiter(std::string_view path) {
  std::string out(path);
  if (out.empty() || FindLastCharOf(out, std::string_view(&PathDelim, 1)) != out.size() - 1) out += PathDelim;
  return out;
}

}  // namespace qf
