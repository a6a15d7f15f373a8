#include "base/Format.h"

namespace qf {

std::string Format(std::string_view pattern, std::initializer_list<FormatArg> args) {
  std::string out;
  out.reserve(pattern.size() + 32);
  auto next = args.begin();
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c != '%' || i + 1 >= pattern.size()) {
      out += c;
      continue;
    }
    const char kind = pattern[++i];
    if (kind == '%') {
      out += '%';
    } else if ((kind == 's' || kind == 'd') && next != args.end()) {
      if (next->IsText())
        out += next->Text();
      else
        out += std::to_string(next->Number());
      ++next;
    } else {
      out += '%';
      out += kind;
    }
  }
  return out;
}

}  // namespace qf
