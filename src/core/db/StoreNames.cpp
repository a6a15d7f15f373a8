#include "db/StoreNames.h"

#include <algorithm>
#include <array>

#include "base/TextRules.h"

namespace qf {
namespace {

constexpr std::string_view kForbidden = "<>:\"/\\|?*";

bool IsDeviceName(std::string_view name) {
  const std::string stem = LowerCase(name.substr(0, name.find('.')));
  static constexpr std::array<std::string_view, 4> kPlain = {"con", "prn", "aux", "nul"};
  if (std::find(kPlain.begin(), kPlain.end(), stem) != kPlain.end()) return true;
  return stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) &&
         stem[3] >= '1' && stem[3] <= '9';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// -1, 0 or 1 for the digit runs a and b (leading zeros do not count).
int CompareNumbers(std::string_view a, std::string_view b) {
  a.remove_prefix(std::min(a.find_first_not_of('0'), a.size()));
  b.remove_prefix(std::min(b.find_first_not_of('0'), b.size()));
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
}

std::string_view Run(std::string_view text, size_t& at) {
  const size_t start = at;
  const bool digits = IsDigit(text[at]);
  while (at < text.size() && IsDigit(text[at]) == digits) ++at;
  return text.substr(start, at - start);
}

}  // namespace

std::string WindowsNameProblem(std::string_view name) {
  const std::string quoted = "\"" + std::string(name) + "\"";
  if (name.empty()) return "an empty name cannot be stored";
  if (name == "." || name == "..") return quoted + " names a folder itself, not a name of its own";
  if (name.front() == '.') return quoted + " begins with \".\", which the listings leave out";
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 32)
      return quoted + " holds a control character, which Windows file names cannot hold";
    if (kForbidden.find(c) != std::string_view::npos)
      return quoted + " holds \"" + std::string(1, c) + "\", which Windows file names cannot hold (<>:\"/\\|?*)";
  }
  if (name.back() == '.' || name.back() == ' ')
    return quoted + " ends in " + (name.back() == '.' ? "a dot" : "a space") + ", which Windows drops from file names";
  if (IsDeviceName(name))
    return quoted + " is a device name Windows reserves (CON, PRN, AUX, NUL, COM1-9, LPT1-9)";
  return {};
}

bool VersionOrderLess(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const bool digitsA = IsDigit(a[i]), digitsB = IsDigit(b[j]);
    const std::string_view runA = Run(a, i), runB = Run(b, j);
    int order;
    if (digitsA && digitsB)
      order = CompareNumbers(runA, runB);
    else {
      const std::string lowerA = LowerCase(runA), lowerB = LowerCase(runB);
      order = lowerA < lowerB ? -1 : (lowerA == lowerB ? 0 : 1);
    }
    if (order != 0) return order < 0;
  }
  if ((i < a.size()) != (j < b.size())) return j < b.size();
  return a < b;
}

}  // namespace qf
