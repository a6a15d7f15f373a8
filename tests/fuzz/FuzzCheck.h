// What the fuzz targets share: a check that stops the run with its line, and
// a test that a name handed out by a reader stands in the input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>

#define QF_CHECK(cond)                                                        \
  do {                                                                        \
    if (!(cond)) {                                                            \
      std::fprintf(stderr, "check failed: %s (line %d)\n", #cond, __LINE__); \
      std::abort();                                                           \
    }                                                                         \
  } while (0)

namespace qf::fuzz {

inline bool Contains(std::string_view text, std::string_view part) {
  if (part.empty()) return true;
  return memmem(text.data(), text.size(), part.data(), part.size()) != nullptr;
}

// Names seen once are not searched for again: a reader answers with few
// distinct names but may give each of them many times. Only the first 64
// distinct names are searched for (each search reads the whole text); the
// others pass. The names must outlive the set (they are kept as views).
class NamesInText {
 public:
  explicit NamesInText(std::string_view text) : text_(text) {}
  bool Holds(std::string_view name) {
    if (known_.count(name) != 0 || known_.size() >= 64) return true;
    if (!Contains(text_, name)) return false;
    known_.emplace(name);
    return true;
  }

 private:
  std::string_view text_;
  std::unordered_set<std::string_view> known_;
};

}  // namespace qf::fuzz
