// The texts the program answers with, shared by the main window and the
// command-line front end so that both say exactly the same thing.
#pragma once

#include <string>
#include <string_view>

#include "map/U_MAPFile.h"

namespace qf {

inline constexpr std::string_view kNotLoadedText = "NOT Loaded (error)";
inline constexpr std::string_view kLoadFirstText = "Please load a MAP file first";
inline constexpr std::string_view kInvalidAddressText = "Invalid Crash Address";
inline constexpr std::string_view kNotFoundText = "Crash Address not found in MAP file";

// The status line after a completed load: "NOT Loaded (error)" or
// [prefix " : "] "Loaded successfully (N items)".
std::string LoadStatusText(const TMapFile& map, std::string_view prefix);

// The answer of the Search button for a typed address.
struct SearchAnswer {
  enum Kind { Silent, LoadFirst, Invalid, NotFound, Found };
  Kind kind = Silent;
  std::string text;  // empty for Silent
};
SearchAnswer AnswerSearch(const TMapFile& map, std::string_view typed);

}  // namespace qf
