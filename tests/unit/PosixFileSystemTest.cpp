// The POSIX file system: names matched without regard to case (A-Z), dot
// names as hidden entries, wildcards, and copies and moves that never replace.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "DbTestFolder.h"
#include "base/Errors.h"
#include "base/FileSystem.h"

namespace qf {
namespace {

using test::AllNames;
using test::DbTestFolder;
using test::MakeFolder;
using test::ReadBytes;
using test::WriteBytes;

using Names = std::vector<std::string>;

const FileSystem& fs = PlatformFileSystem();

Names Found(const std::string& pattern) {
  Names names;
  for (const FoundEntry& e : fs.FindEntries(pattern)) names.push_back(e.name + (e.isDirectory ? "/" : ""));
  std::sort(names.begin(), names.end());
  return names;
}

class PosixFileSystemTest : public ::testing::Test {
 protected:
  DbTestFolder dir;
};

TEST_F(PosixFileSystemTest, EnumerationKeepsSelfAndParentAndSkipsDotNamesAndSpecialFiles) {
  WriteBytes(dir("plain.txt"), "x");
  MakeFolder(dir("Sub"));
  MakeFolder(dir(".hidden"));
  WriteBytes(dir(".dotfile"), "x");
  ASSERT_EQ(::mkfifo(dir("pipe").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("nowhere", dir("dangling").c_str()), 0);
  ASSERT_EQ(::symlink("Sub", dir("link").c_str()), 0);
  EXPECT_EQ(Found(dir("*")), (Names{"../", "./", "Sub/", "link/", "plain.txt"}));
  EXPECT_EQ(Found(dir("nothing") + "/*"), Names{});
  EXPECT_EQ(Found(dir("plain.txt") + "/*"), Names{});
  EXPECT_EQ(Found(dir.Path() + "/"), Names{});
}

TEST_F(PosixFileSystemTest, WildcardsMatchWithoutRegardToCase) {
  for (const char* name : {"a.map", "B.MAP", "c.Map", "a.mapx", "map", "ab.map", "x.map.txt", "\xC3\x9F.MAP"})
    WriteBytes(dir(name), "x");
  struct Case {
    const char* pattern;
    Names expected;
  };
  const Case cases[] = {
      {"*.map", {"B.MAP", "a.map", "ab.map", "c.Map", "\xC3\x9F.MAP"}},
      {"?.MAP", {"B.MAP", "a.map", "c.Map"}},
      {"??.map", {"ab.map", "\xC3\x9F.MAP"}},  // two bytes
      {"A*", {"a.map", "a.mapx", "ab.map"}},
      {"*map*", {"B.MAP", "a.map", "a.mapx", "ab.map", "c.Map", "map", "x.map.txt", "\xC3\x9F.MAP"}},
      {"*.*.*", {"../", "x.map.txt"}},  // ".." too, as on Windows
      {"MAP", {"map"}},
      {"*x", {"a.mapx"}},
      {"q*", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(Found(dir(c.pattern)), c.expected) << c.pattern;
}

TEST_F(PosixFileSystemTest, EveryPathPartIsFoundInAnyCase) {
  MakeFolder(dir("Demo"));
  MakeFolder(dir("Demo", "Sub"));
  WriteBytes(dir("Demo", "Sub", "Release.MAP"), "content");
  const std::string file = dir("DEMO", "sub", "release.map");
  EXPECT_TRUE(fs.FileExists(file));
  EXPECT_FALSE(fs.DirectoryExists(file));
  EXPECT_EQ(fs.FileSize(file), 7);
  EXPECT_EQ(fs.ReadWholeFile(file), "content");
  EXPECT_TRUE(fs.DirectoryExists(dir("demo", "SUB")));
  EXPECT_TRUE(fs.DirectoryExists(dir("demo", "SUB") + "/"));
  EXPECT_FALSE(fs.FileExists(dir("demo", "SUB")));
  EXPECT_EQ(fs.FileSize(dir("demo")), -1);
  EXPECT_EQ(Found(dir("dEmO", "sUb", "*.map")), Names{"Release.MAP"});
  // Only A-Z fold: other bytes must match exactly.
  WriteBytes(dir("Demo", "Stra\xDF" "e.MAP"), "x");
  EXPECT_TRUE(fs.FileExists(dir("demo", "STRA\xDF" "E.map")));
  EXPECT_FALSE(fs.FileExists(dir("demo", "STRA\xC3\x9F" "E.map")));
  EXPECT_FALSE(fs.FileExists(dir("demo", "stra\xDF" "e.map ")));
  EXPECT_FALSE(fs.FileExists(dir("demo", "nothing", "release.map")));
  EXPECT_FALSE(fs.FileExists(""));
  EXPECT_THROW(fs.ReadWholeFile(dir("demo", "nothing.map")), EFOpenError);
}

TEST_F(PosixFileSystemTest, CreateDirMakesOneLevelAndNeverTwoFoldersDifferingInCase) {
  EXPECT_TRUE(fs.CreateDir(dir("Demo")));
  EXPECT_FALSE(fs.CreateDir(dir("Demo")));
  EXPECT_FALSE(fs.CreateDir(dir("DEMO")));
  EXPECT_FALSE(fs.CreateDir(dir("a", "b")));
  EXPECT_TRUE(fs.CreateDir(dir("demo", "Inner")));  // inside the existing Demo
  EXPECT_EQ(AllNames(dir.Path()), Names{"Demo"});
  EXPECT_EQ(AllNames(dir("Demo")), Names{"Inner"});
}

TEST_F(PosixFileSystemTest, CopyNeverReplacesAndCopiesEveryByte) {
  const std::string content("a\0b\r\n\xFF", 6);
  WriteBytes(dir("from"), content);
  WriteBytes(dir("Taken.map"), "old");
  EXPECT_FALSE(fs.CopyNoReplace(dir("from"), dir("Taken.map")));
  EXPECT_FALSE(fs.CopyNoReplace(dir("from"), dir("taken.MAP")));
  EXPECT_EQ(ReadBytes(dir("Taken.map")), "old");
  EXPECT_FALSE(fs.CopyNoReplace(dir("missing"), dir("new")));
  EXPECT_FALSE(fs.CopyNoReplace(dir.Path(), dir("new")));  // a folder is no source
  EXPECT_FALSE(fs.CopyNoReplace(dir("from"), dir("missing", "new")));
  EXPECT_EQ(AllNames(dir.Path()).size(), 2u);  // nothing new
  EXPECT_TRUE(fs.CopyNoReplace(dir("FROM"), dir("new")));
  EXPECT_EQ(ReadBytes(dir("new")), content);
}

TEST_F(PosixFileSystemTest, MoveNeverReplaces) {
  WriteBytes(dir("a"), "a");
  WriteBytes(dir("B"), "b");
  MakeFolder(dir("Folder"));
  EXPECT_FALSE(fs.MoveNoReplace(dir("a"), dir("B")));
  EXPECT_FALSE(fs.MoveNoReplace(dir("a"), dir("b")));
  EXPECT_FALSE(fs.MoveNoReplace(dir("a"), dir("folder")));
  EXPECT_FALSE(fs.MoveNoReplace(dir("missing"), dir("c")));
  EXPECT_EQ(ReadBytes(dir("a")), "a");
  EXPECT_EQ(ReadBytes(dir("B")), "b");
  EXPECT_TRUE(fs.MoveNoReplace(dir("A"), dir("c")));
  EXPECT_EQ(ReadBytes(dir("c")), "a");
  EXPECT_EQ(ReadBytes(dir("a")), "<missing>");
}

TEST_F(PosixFileSystemTest, RemoveFileRemovesFilesOnly) {
  WriteBytes(dir("File"), "x");
  MakeFolder(dir("Folder"));
  EXPECT_FALSE(fs.RemoveFile(dir("folder")));
  EXPECT_FALSE(fs.RemoveFile(dir("missing")));
  EXPECT_TRUE(fs.RemoveFile(dir("file")));
  EXPECT_EQ(AllNames(dir.Path()), Names{"Folder"});
}

}  // namespace
}  // namespace qf
