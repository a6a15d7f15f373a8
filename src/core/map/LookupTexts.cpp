#include "map/LookupTexts.h"

#include "base/Format.h"

namespace qf {

std::string LoadStatusText(const TMapFile& map, std::string_view prefix) {
  if (!map.Loaded()) return std::string(kNotLoadedText);
  std::string text;
  if (!prefix.empty()) {
    text += prefix;
    text += " : ";
  }
  text += "Loaded successfully (";
  text += Format("%d items", {map.Count()});
  text += ")";
  return text;
}

SearchAnswer AnswerSearch(const TMapFile& map, std::string_view typed) {
  if (!map.Loaded()) return {SearchAnswer::LoadFirst, std::string(kLoadFirstText)};
  const CrashAddress address = CrashAddressToOffset(typed);
  switch (address.kind) {
    case CrashAddress::NoAddress:
      return {SearchAnswer::Silent, std::string()};
    case CrashAddress::InvalidAddress:
      return {SearchAnswer::Invalid, std::string(kInvalidAddressText)};
    case CrashAddress::Valid:
      break;
  }
  const auto entry = map.FindOffset(address.offset);
  if (!entry) return {SearchAnswer::NotFound, std::string(kNotFoundText)};
  return {SearchAnswer::Found, Format("Crash found in %s at line %d", {entry->SourceFile(), entry->Line()})};
}

}  // namespace qf
