#include "Format.h"

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
    const char spec = pattern[++i];
    if (spec == '%') {
      out += '%';
    } else if ((spec == 's' || spec == 'd') && next != args.end()) {
      if (next->IsText())
        out += next->Text();
      else
        out += std::to_string(next->Number());
      ++next;
    } else {
      out += '%';
      out += spec;
    }
  }
  return out;
}

}  // namespace qf
