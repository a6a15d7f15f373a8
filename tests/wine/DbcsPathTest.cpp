// Path routines and the store under the Japanese ANSI code page 932, where
// the second byte of 表 (95 5C) and of ソ (83 5C) equals "\". The program runs
// under Wine started with a Japanese locale (its ctest entry sets LC_ALL);
// under any other code page it fails at once rather than pass by accident.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "AnsiCodePage.h"
#include "base/FileSystem.h"
#include "base/PathRules.h"
#include "db/U_MAPDb.h"

namespace qf {
namespace {

const std::string kHyo = "\x95\x5C";  // 表
const std::string kSo = "\x83\x5C";   // ソ

TEST(DbcsPathRules, TrailBackslashIsPartOfTheName) {
  struct Row {
    std::string path, name, folder, ext;
  };
  const Row rows[] = {
      {"C:\\" + kHyo + "\\app.map", "app.map", "C:\\" + kHyo + "\\", ".map"},
      {"C:\\maps\\" + kSo, kSo, "C:\\maps\\", ""},
      {"C:\\" + kSo + "\\" + kHyo + ".map", kHyo + ".map", "C:\\" + kSo + "\\", ".map"},
      {"C:\\" + kHyo + ".d\\" + kSo, kSo, "C:\\" + kHyo + ".d\\", ""},
      {kSo + ":x", "x", kSo + ":", ""},
      {"a" + kHyo, "a" + kHyo, "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(ExtractFileName(row.path), row.name);
    EXPECT_EQ(ExtractFilePath(row.path), row.folder);
    EXPECT_EQ(ExtractFileExt(row.path), row.ext);
  }
  EXPECT_EQ(IncludeTrailingPathDelimiter("C:\\" + kHyo), "C:\\" + kHyo + "\\");
  EXPECT_EQ(IncludeTrailingPathDelimiter("C:\\" + kSo + "\\"), "C:\\" + kSo + "\\");
}

TEST(DbcsPathRules, StoreRefusesOnlyRealSeparators) {
  EXPECT_FALSE(TMapDB::IsUnsafeName(kHyo));
  EXPECT_FALSE(TMapDB::IsUnsafeName(kSo + "ft" + kHyo));
  EXPECT_TRUE(TMapDB::IsUnsafeName(kSo + "\\x"));
  EXPECT_TRUE(TMapDB::IsUnsafeName("\\" + kHyo));
  EXPECT_TRUE(TMapDB::IsUnsafeName(kHyo + ":"));
}

TEST(DbcsPathRules, ProjectAndVersionStoredAndListed) {
  char temp[MAX_PATH];
  ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
  const std::string root = std::string(temp) + "qf-dbcs-" + std::to_string(GetTickCount()) + "\\" + kHyo;
  const std::string project = kSo + "ft" + kHyo;
  const std::string source = std::string(temp) + kSo + std::to_string(GetTickCount()) + ".map";
  {
    FILE* f = std::fopen(source.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("\r\n Start         Length     Name                   Class\r\n", f);
    std::fclose(f);
  }
  CreateDirectoryA(ExtractFilePath(root).c_str(), nullptr);
  const TMapDB db(root, PlatformFileSystem());
  ASSERT_EQ(GetFileAttributesA(root.c_str()) & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY);
  ASSERT_TRUE(db.CreateProject(project));
  ASSERT_TRUE(db.AddVersion(project, "1.0", source));
  std::vector<std::string> projects, versions;
  db.GetProjects(projects);
  db.GetVersions(project, versions);
  EXPECT_EQ(projects, std::vector<std::string>{project});
  EXPECT_EQ(versions, std::vector<std::string>{"1.0.map"});
  const std::string stored = db.GetVersionPath(project, "1.0") + ".map";
  EXPECT_EQ(ExtractFilePath(stored), root + "\\" + project + "\\");
  EXPECT_NE(GetFileAttributesA(stored.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_FALSE(db.CreateProject("a\\" + kHyo));

  DeleteFileA(stored.c_str());
  RemoveDirectoryA((root + "\\" + project).c_str());
  RemoveDirectoryA(root.c_str());
  RemoveDirectoryA(ExtractFilePath(root).c_str());
  DeleteFileA(source.c_str());
}

}  // namespace
}  // namespace qf

int main(int argc, char** argv) {
  const UINT codePage = GetACP();
  if (codePage != 932) {
    std::fprintf(stderr, "dbcs_path_tests: the ANSI code page is %u, not 932 (start Wine with LC_ALL=ja_JP.UTF-8)\n",
                 codePage);
    return 2;
  }
  qf::UseSystemCodePage();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
