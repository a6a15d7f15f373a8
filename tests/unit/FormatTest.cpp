#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "base/Format.h"

namespace qf {
namespace {

TEST(Format, WritesNumbersAndTextsInOrder) {
  const std::string name = "C:\\Program Files (x86)\\P.dpr";
  const struct {
    std::string got, expected;
  } cases[] = {
      {Format("Crash found in %s at line %d", {"Engine.src", 12}), "Crash found in Engine.src at line 12"},
      {Format("Crash found in %s at line %d", {name, 7}), "Crash found in " + name + " at line 7"},
      {Format("%d items", {1520}), "1520 items"},
      {Format("%d", {1234567}), "1234567"},  // no grouping
      {Format("%d", {-5}), "-5"},
      {Format("%d", {INT32_MIN}), "-2147483648"},
      {Format("%d", {INT32_MAX}), "2147483647"},
      {Format("%d", {0}), "0"},
      {Format("Indice de liste hors limites (%d)", {-1}), "Indice de liste hors limites (-1)"},
      {Format("%s", {""}), ""},
      {Format("%s%s", {"a", "b"}), "ab"},
      {Format("100%%", {}), "100%"},
      {Format("no fields", {}), "no fields"},
      {Format("%s", {std::string("a%db")}), "a%db"},  // a text is never re-read as a pattern
      {Format("%s", {std::string_view("x\0y", 3)}), std::string("x\0y", 3)},
      {Format("\xE9t\xE9 %s", {"\xC9"}), "\xE9t\xE9 \xC9"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.expected);
}

}  // namespace
}  // namespace qf
