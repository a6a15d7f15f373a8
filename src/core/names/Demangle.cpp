// The choice of scheme, and the Itanium names through the C++ run-time's
// demangler (abi::__cxa_demangle of libstdc++ and libc++abi alike).
#include "names/Demangle.h"

#include <cxxabi.h>

#include <cstdlib>
#include <string>
#include <string_view>

namespace qf {
namespace {

// "T f<int>(int, char) const" -> "T f<int>": the name without the parameter
// list that closes it and the qualifiers after it; a name without one stays.
std::string WithoutParameters(const std::string& full) {
  std::size_t close = full.size();
  for (;;) {
    std::string_view head(full.data(), close);
    bool cut = false;
    for (const std::string_view tail : {" const", " volatile", " &&", " &", " noexcept"}) {
      if (head.size() > tail.size() && head.substr(head.size() - tail.size()) == tail) {
        close -= tail.size();
        cut = true;
        break;
      }
    }
    if (!cut) break;
  }
  if (close == 0 || full[close - 1] != ')') return full;
  int depth = 0;
  for (std::size_t i = close; i-- > 0;) {
    if (full[i] == ')') ++depth;
    if (full[i] == '(' && --depth == 0) return i == 0 ? full : full.substr(0, i);
  }
  return full;
}

}  // namespace

NameScheme MangledScheme(std::string_view linkerName) {
  if (linkerName.size() >= 2 && linkerName[0] == '@') return NameScheme::Borland;
  if (linkerName.size() >= 3 && linkerName.substr(0, 2) == "_Z") return NameScheme::Itanium;
  if (linkerName.size() >= 4 && linkerName.substr(0, 3) == "__Z") return NameScheme::Itanium;
  return NameScheme::None;
}

bool DemangleItanium(std::string_view linkerName, DemangleStyle style, std::string& out) {
  if (linkerName.substr(0, 3) == "__Z") linkerName.remove_prefix(1);
  if (linkerName.size() < 3 || linkerName.substr(0, 2) != "_Z") return false;
  if (linkerName.find('\0') != std::string_view::npos) return false;
  const std::string name(linkerName);
  int status = 0;
  char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  if (text == nullptr) return false;
  std::string readable = status == 0 ? std::string(text) : std::string();
  std::free(text);
  if (readable.empty()) return false;
  out = style == DemangleStyle::Short ? WithoutParameters(readable) : std::move(readable);
  return true;
}

std::string DemangleName(std::string_view linkerName, DemangleStyle style) {
  std::string out;
  switch (MangledScheme(linkerName)) {
    case NameScheme::Borland:
      if (DemangleBorland(linkerName, style, out)) return out;
      break;
    case NameScheme::Itanium:
      if (DemangleItanium(linkerName, style, out)) return out;
      break;
    case NameScheme::None: break;
  }
  return std::string(linkerName);
}

}  // namespace qf
