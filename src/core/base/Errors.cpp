#include "base/Errors.h"

#include "base/Format.h"

namespace qf {

std::string CleanSystemMessage(const std::string& text) {
  std::string::size_type end = text.size();
  while (end > 0) {
    const unsigned char c = static_cast<unsigned char>(text[end - 1]);
    if (c > ' ' && c != '.') break;
    --end;
  }
  return text.substr(0, end);
}

EFOpenError::EFOpenError(const std::string& fullPath, const std::string& systemMessage)
    : Exception(Format("Impossible d'ouvrir le fichier \"%s\". %s",
                       {fullPath, CleanSystemMessage(systemMessage)})),
      path_(fullPath),
      reason_(CleanSystemMessage(systemMessage)) {}

EListError::EListError(long long index)
    : Exception(Format("Indice de liste hors limites (%d)", {index})) {}

}  // namespace qf
