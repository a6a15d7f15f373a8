#include <gtest/gtest.h>

#include <string>

#include "base/PathRules.h"
#include "base/TextRules.h"

namespace qf {
namespace {

struct PathCase {
  std::string_view path;
  std::string_view name, dir, ext;
};

void ExpectParts(const PathCase& c) {
  EXPECT_EQ(ExtractFileName(c.path), c.name) << "file name of " << c.path;
  EXPECT_EQ(ExtractFilePath(c.path), c.dir) << "directory of " << c.path;
  EXPECT_EQ(ExtractFileExt(c.path), c.ext) << "extension of " << c.path;
}

TEST(PathRules, PartsWithoutAnySeparator) {
  const PathCase cases[] = {
      {"", "", "", ""},
      {"X.MAP", "X.MAP", "", ".MAP"},
      {"file", "file", "", ""},
      {"name.", "name.", "", "."},
      {".map", ".map", "", ".map"},
      {"a.b.c", "a.b.c", "", ".c"},
  };
  for (const auto& c : cases) ExpectParts(c);
  EXPECT_TRUE(SameText(ExtractFileExt("X.MAP"), ".map"));
}

#ifdef _WIN32
// Windows: "\" and ":" separate, "/" is an ordinary character.
TEST(PathRules, BackslashAndColonSeparate) {
  const PathCase cases[] = {
      {"C:\\maps.old\\file", "file", "C:\\maps.old\\", ""},
      {"C:\\maps\\X.map", "X.map", "C:\\maps\\", ".map"},
      {"C:X.map", "X.map", "C:", ".map"},
      {"C:", "", "C:", ""},
      {"\\\\server\\share\\a.b", "a.b", "\\\\server\\share\\", ".b"},
      {"dir\\", "", "dir\\", ""},
      {"a/b.map", "a/b.map", "", ".map"},
      {"a.d/b", "a.d/b", "", ".d/b"},
      {"C:\\x/y\\z.MAP", "z.MAP", "C:\\x/y\\", ".MAP"},
      {"x.:y", "y", "x.:", ""},
  };
  for (const auto& c : cases) ExpectParts(c);
}

TEST(PathRules, TrailingDelimiterIsBackslash) {
  const struct {
    std::string_view path, expected;
  } cases[] = {
      {"", "\\"}, {"C:\\db", "C:\\db\\"}, {"C:\\db\\", "C:\\db\\"}, {"C:", "C:\\"},
      {"db/", "db/\\"}, {"\\", "\\"},
  };
  for (const auto& c : cases) EXPECT_EQ(IncludeTrailingPathDelimiter(c.path), c.expected) << c.path;
}
#else
// Natively "/" is the one separator; "\" and ":" are ordinary characters.
TEST(PathRules, SlashSeparates) {
  const PathCase cases[] = {
      {"/srv/maps.old/file", "file", "/srv/maps.old/", ""},
      {"/srv/maps/X.map", "X.map", "/srv/maps/", ".map"},
      {"/", "", "/", ""},
      {"dir/", "", "dir/", ""},
      {"a\\b.map", "a\\b.map", "", ".map"},
      {"C:X.map", "C:X.map", "", ".map"},
      {"a.d\\b", "a.d\\b", "", ".d\\b"},
      {"./x", "x", "./", ""},
  };
  for (const auto& c : cases) ExpectParts(c);
}

TEST(PathRules, TrailingDelimiterIsSlash) {
  const struct {
    std::string_view path, expected;
  } cases[] = {
      {"", "/"}, {"/srv/db", "/srv/db/"}, {"/srv/db/", "/srv/db/"}, {"db\\", "db\\/"}, {"/", "/"},
  };
  for (const auto& c : cases) EXPECT_EQ(IncludeTrailingPathDelimiter(c.path), c.expected) << c.path;
}
#endif

// With a lead-byte test set, a lead byte and the byte after it are one
// character: a second byte equal to the delimiter separates nothing.
TEST(PathRules, LeadByteTakesTheNextByteAlong) {
  SetLeadBytePredicate([](unsigned char c) { return c >= 0x81 && c <= 0x9F; });
  const std::string d(1, PathDelim), hyo = std::string("\x95") + PathDelim;
  EXPECT_EQ(ExtractFileName("a" + d + hyo), hyo);
  EXPECT_EQ(ExtractFilePath(hyo + d + "b.map"), hyo + d);
  EXPECT_EQ(ExtractFileExt("a.d" + d + "x" + hyo), "");
  EXPECT_EQ(ExtractFileExt("a" + d + "x.m" + hyo), ".m" + hyo);
  EXPECT_EQ(IncludeTrailingPathDelimiter(hyo), hyo + d);
  EXPECT_EQ(IncludeTrailingPathDelimiter(hyo + d), hyo + d);
  EXPECT_FALSE(ContainsCharOf(hyo + "x", d));
  EXPECT_TRUE(ContainsCharOf(hyo + d, d));
  EXPECT_EQ(FindLastCharOf("\x95", d), std::string_view::npos);  // a lone lead byte at the end
  SetLeadBytePredicate(nullptr);
  EXPECT_EQ(ExtractFileName("a" + d + hyo), "");
}

}  // namespace
}  // namespace qf
