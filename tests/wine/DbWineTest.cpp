// The Win32 file system and the MAP database store against the real API
// under Wine: a db folder in the temporary directory, hidden and system
// entries made with SetFileAttributesA, names in code-page bytes, and the
// last-write-time rule of the file test.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ExePath.h"
#include "base/FileSystem.h"
#include "base/TextRules.h"
#include "db/U_MAPDb.h"

namespace qf {
namespace {

using Names = std::vector<std::string>;
const FileSystem& fs = PlatformFileSystem();

// Removes a folder and everything in it, whatever the attributes.
void RemoveTree(const std::string& folder) {
  WIN32_FIND_DATAA data{};
  HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = data.cFileName;
      if (name == "." || name == "..") continue;
      const std::string path = folder + "\\" + name;
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        DeleteFileA(path.c_str());
      }
    } while (FindNextFileA(find, &data));
    FindClose(find);
  }
  SetFileAttributesA(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
  RemoveDirectoryA(folder.c_str());
}

class DbWineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
    for (unsigned n = GetTickCount();; ++n) {
      dir_ = std::string(temp) + "qf-dbwine-" + std::to_string(n);
      if (CreateDirectoryA(dir_.c_str(), nullptr)) break;
      ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    }
  }
  void TearDown() override { RemoveTree(dir_); }

  std::string At(const std::string& relative) const { return dir_ + "\\" + relative; }

  void Folder(const std::string& relative, DWORD attributes = 0) const {
    ASSERT_TRUE(CreateDirectoryA(At(relative).c_str(), nullptr)) << relative;
    if (attributes) {
      ASSERT_TRUE(SetFileAttributesA(At(relative).c_str(), attributes)) << relative;
    }
  }

  void File(const std::string& relative, const std::string& bytes = "x", DWORD attributes = 0) const {
    HANDLE h = CreateFileA(At(relative).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << relative;
    DWORD written = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
    ASSERT_EQ(written, bytes.size());
    if (attributes) {
      ASSERT_TRUE(SetFileAttributesA(At(relative).c_str(), attributes)) << relative;
    }
  }

  // Sets the last-write time of a file to a local date (mid-day).
  void SetLocalWriteDate(const std::string& relative, WORD year, WORD month, WORD day) const {
    SYSTEMTIME local{};
    local.wYear = year;
    local.wMonth = month;
    local.wDay = day;
    local.wHour = 12;
    FILETIME localTime{}, utc{};
    ASSERT_TRUE(SystemTimeToFileTime(&local, &localTime));
    ASSERT_TRUE(LocalFileTimeToFileTime(&localTime, &utc));
    HANDLE h = CreateFileA(At(relative).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(SetFileTime(h, nullptr, nullptr, &utc));
    CloseHandle(h);
  }

  std::string Read(const std::string& relative) const {
    try {
      return fs.ReadWholeFile(At(relative));
    } catch (const std::exception&) {
      return "<missing>";
    }
  }

  // Every name in a folder (all attributes), "." and ".." excepted, sorted.
  Names AllNames(const std::string& relative) const {
    Names names;
    WIN32_FIND_DATAA data{};
    HANDLE find = FindFirstFileA((At(relative) + "\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
      const std::string name = data.cFileName;
      if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string dir_;
};

Names Sorted(Names names) {
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(DbWineTest, EnumerationSkipsHiddenAndSystemEntriesOnly) {
  Folder("root");
  File("root\\plain.txt");
  Folder("root\\Sub");
  Folder("root\\HiddenSub", FILE_ATTRIBUTE_HIDDEN);
  File("root\\hidden.txt", "x", FILE_ATTRIBUTE_HIDDEN);
  File("root\\system.txt", "x", FILE_ATTRIBUTE_SYSTEM);
  Folder("root\\SystemSub", FILE_ATTRIBUTE_SYSTEM);
  File("root\\readonly.txt", "x", FILE_ATTRIBUTE_READONLY);
  File("root\\archive.txt", "x", FILE_ATTRIBUTE_ARCHIVE);
  Names found;
  for (const FoundEntry& e : fs.FindEntries(At("root\\*"))) found.push_back(e.name + (e.isDirectory ? "\\" : ""));
  EXPECT_EQ(Sorted(found), (Names{"..\\", ".\\", "Sub\\", "archive.txt", "plain.txt", "readonly.txt"}));
  EXPECT_TRUE(fs.FindEntries(At("missing\\*")).empty());
  EXPECT_TRUE(fs.FindEntries(At("root\\*.none")).empty());
}

TEST_F(DbWineTest, ListingsSkipHiddenEntriesButHiddenProjectsStayUsable) {
  const TMapDB db(At("db"));
  Folder("db\\Demo");
  Folder("db\\Secret", FILE_ATTRIBUTE_HIDDEN);
  Folder("db\\Sys", FILE_ATTRIBUTE_SYSTEM);
  Folder("db\\Old", FILE_ATTRIBUTE_READONLY);
  File("db\\readme.txt", "x", FILE_ATTRIBUTE_ARCHIVE);
  File("db\\Demo\\1.0.map");
  File("db\\Demo\\Hidden.map", "x", FILE_ATTRIBUTE_HIDDEN);
  File("db\\Demo\\System.map", "x", FILE_ATTRIBUTE_SYSTEM);
  File("db\\Demo\\Locked.MAP", "x", FILE_ATTRIBUTE_READONLY);
  File("db\\Secret\\2.0.map", "secret");
  Names projects, versions;
  db.GetProjects(projects);
  EXPECT_EQ(Sorted(projects), (Names{"Demo", "Old", "readme.txt"}));
  db.GetVersions("Demo", versions);
  EXPECT_EQ(Sorted(versions), (Names{"1.0.map", "locked.map"}));
  db.GetVersions("Secret", versions);
  EXPECT_EQ(versions, Names{"2.0.map"});
  EXPECT_TRUE(db.VersionExists("Secret", "2.0"));
  EXPECT_TRUE(db.VersionExists("Demo", "HIDDEN"));  // the file test ignores the attributes
  EXPECT_EQ(fs.ReadWholeFile(db.GetVersionPath("secret", "2.0.map")), "secret");
}

TEST_F(DbWineTest, CodePageNamesAreListedWithOnlyAToZLowered) {
  const TMapDB db(At("db"));
  Folder("db\\Demo");
  const std::string stored = "Stra\xDF" "e \xC4\xD6.MAP";  // Straße ÄÖ.MAP in code page 1252
  File("db\\Demo\\" + stored, "sharp s");
  Names versions;
  db.GetVersions("Demo", versions);
  ASSERT_EQ(versions.size(), 1u);
  if (GetACP() == 1252) {
    EXPECT_EQ(versions[0], "stra\xDF" "e \xC4\xD6.map");
  }
  EXPECT_EQ(versions[0], LowerCase(stored));
  EXPECT_TRUE(db.VersionExists("Demo", "STRA\xDF" "E \xC4\xD6"));
  EXPECT_EQ(fs.ReadWholeFile(db.GetVersionPath("Demo", versions[0])), "sharp s");
}

// The file test asks that the last-write time fit the packed local date form
// (1980 to 2107); a file outside it counts as absent, and is still never
// overwritten.
TEST_F(DbWineTest, FileTestFollowsTheDateRule) {
  struct Case {
    WORD year;
    bool exists;
  };
  const Case cases[] = {{1979, false}, {1980, true}, {2024, true}, {2107, true}, {2108, false}, {2500, false}};
  for (const Case& c : cases) {
    const std::string name = "dated" + std::to_string(c.year);
    File(name);
    SetLocalWriteDate(name, c.year, 6, 15);
    EXPECT_EQ(fs.FileExists(At(name)), c.exists) << c.year;
  }
  const TMapDB db(At("db"));
  Folder("db\\Demo");
  File("db\\Demo\\Old.map", "old");
  SetLocalWriteDate("db\\Demo\\Old.map", 1975, 6, 15);
  File("source.map", "new");
  EXPECT_FALSE(db.VersionExists("Demo", "Old"));
  EXPECT_FALSE(db.AddVersion("Demo", "Old", At("source.map")));
  EXPECT_EQ(Read("db\\Demo\\Old.map"), "old");
  EXPECT_EQ(AllNames("db\\Demo"), Names{"Old.map"});
}

// What the portable store tests (also run under Wine) do not reach: patterns
// in a file name, sizes, and the attributes a copy takes from its source.
TEST_F(DbWineTest, FileTestsAndCopiesFollowTheWin32Rules) {
  Folder("Sub");
  File("Sub\\File.txt", "12345");
  EXPECT_TRUE(fs.FileExists(At("sub\\file.TXT")));
  EXPECT_FALSE(fs.FileExists(At("Sub")));
  EXPECT_FALSE(fs.FileExists(At("Sub\\*.txt")));  // a pattern names no single file
  EXPECT_FALSE(fs.FileExists(At("Sub\\File.tx?")));
  EXPECT_EQ(fs.FileSize(At("Sub\\File.txt")), 5);
  EXPECT_EQ(fs.FileSize(At("Sub")), -1);
  EXPECT_FALSE(fs.CopyNoReplace(At("Sub\\File.txt"), At("sub\\FILE.TXT")));
  EXPECT_FALSE(fs.MoveNoReplace(At("Sub\\File.txt"), At("SUB")));
  File("hidden", "h", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY);
  ASSERT_TRUE(fs.CopyNoReplace(At("hidden"), At("visible")));
  EXPECT_EQ(GetFileAttributesA(At("visible").c_str()) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM), 0u);
  EXPECT_TRUE(fs.RemoveFile(At("visible")));  // read-only, as its source
  EXPECT_FALSE(fs.RemoveFile(At("Sub")));
  EXPECT_EQ(AllNames(""), (Names{"Sub", "hidden"}));
}

TEST_F(DbWineTest, AddVersionStoresVisibleCompleteFilesAndCleansUp) {
  const TMapDB db(At("db\\"));
  EXPECT_EQ(db.RootFolder(), At("db\\"));
  EXPECT_TRUE(fs.DirectoryExists(At("db")));
  EXPECT_EQ(db.GetVersionPath("Demo", "2.1"), At("db\\Demo\\2.1"));
  File("source.map", std::string("bytes\0\r\n\xFF", 9), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY);
  ASSERT_TRUE(db.CreateProject("Demo"));
  ASSERT_TRUE(db.AddVersion("demo", "2.1", At("source.map")));
  EXPECT_EQ(Read("db\\Demo\\2.1.map"), std::string("bytes\0\r\n\xFF", 9));
  Names versions;
  db.GetVersions("Demo", versions);
  EXPECT_EQ(versions, Names{"2.1.map"});
  // The move fails on a folder of the version's name: the read-only
  // temporary copy is removed all the same.
  Folder("db\\Demo\\Busy.map");
  EXPECT_FALSE(db.AddVersion("Demo", "Busy", At("source.map")));
  EXPECT_FALSE(db.AddVersion("Demo", "2.1", At("source.map")));
  EXPECT_FALSE(db.AddVersion("Missing", "1", At("source.map")));
  EXPECT_FALSE(db.AddVersion("Demo", "bad|name", At("source.map")));  // the file system refuses it
  for (const char* unsafe : {"..", ".", "..\\x", "a/b", "C:x", ""}) {
    EXPECT_FALSE(db.CreateProject(unsafe)) << unsafe;
    EXPECT_FALSE(db.AddVersion("Demo", unsafe, At("source.map"))) << unsafe;
  }
  EXPECT_EQ(AllNames("db\\Demo"), (Names{"2.1.map", "Busy.map"}));
  EXPECT_EQ(AllNames("db"), Names{"Demo"});
  EXPECT_EQ(AllNames(""), (Names{"db", "source.map"}));
}

TEST_F(DbWineTest, ExecutablePathNamesThisProgram) {
  const std::string path = ExecutablePath();
  ASSERT_GT(path.size(), 4u);
  EXPECT_TRUE(SameText(path.substr(path.size() - 4), ".exe")) << path;
  EXPECT_NE(path.find('\\'), std::string::npos) << path;
  EXPECT_TRUE(fs.FileExists(path)) << path;
}

}  // namespace
}  // namespace qf
