// The maker's addresses, opened by the about box through the shell.
#pragma once

#include <string>

namespace qf {

inline constexpr const char* kMakerName = "Velmora";
inline constexpr const char* kMakerEmail = "contact@velmora.example";
inline constexpr const char* kMakerWebSite = "https://velmora.example";

inline std::string MakerMailLink() { return std::string("mailto:") + kMakerEmail; }
inline std::string MakerWebSite() { return kMakerWebSite; }
inline std::string MakerForumPage() { return std::string(kMakerWebSite) + "/forum"; }

}  // namespace qf
