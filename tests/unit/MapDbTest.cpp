// The MAP database store on a real folder, through the platform's file
// system (natively and, cross-built, under Wine).
#include <gtest/gtest.h>

#include <algorithm>

#include "DbTestFolder.h"
#include "base/FileSystem.h"
#include "base/PathRules.h"
#include "base/TextRules.h"
#include "db/U_MAPDb.h"

namespace qf {
namespace {

using test::AllNames;
using test::DbTestFolder;
using test::MakeFolder;
using test::ReadBytes;
using test::WriteBytes;

using Names = std::vector<std::string>;

Names Sorted(Names names) {
  std::sort(names.begin(), names.end());
  return names;
}

Names Projects(const TMapDB& db) {
  Names list{"stale"};
  db.GetProjects(list);
  return list;
}

Names Versions(const TMapDB& db, const std::string& project) {
  Names list{"stale"};
  db.GetVersions(project, list);
  return list;
}

// Binary content: the copy must be byte for byte (NUL, CR, LF, high bytes).
const std::string kContent = std::string("MAP\0\r\n\n\r\xFF\x80 end", 14);

class MapDbTest : public ::testing::Test {
 protected:
  DbTestFolder dir;
  std::string root = dir("db");
};

TEST_F(MapDbTest, RootGetsOneTrailingDelimiterAndIsCreated) {
  const TMapDB plain(root);
  EXPECT_EQ(plain.RootFolder(), root + PathDelim);
  EXPECT_TRUE(PlatformFileSystem().DirectoryExists(root));
  const TMapDB withDelimiter(root + PathDelim);
  EXPECT_EQ(withDelimiter.RootFolder(), root + PathDelim);
}

TEST_F(MapDbTest, RootThatCannotBeMadeGivesEmptyListingsAndNoProject) {
  const std::string deep = dir("missing", "db");
  const TMapDB db(deep);
  EXPECT_FALSE(PlatformFileSystem().DirectoryExists(deep));
  EXPECT_EQ(Projects(db), Names{});
  EXPECT_EQ(Versions(db, "Demo"), Names{});
  EXPECT_FALSE(db.CreateProject("Demo"));
  EXPECT_FALSE(db.AddVersion("Demo", "1", dir.Path()));
}

TEST_F(MapDbTest, VersionPathAddsNoExtension) {
  const TMapDB db(root);
  EXPECT_EQ(db.GetVersionPath("Demo", "2.1"), root + PathDelim + "Demo" + PathDelim + "2.1");
  EXPECT_EQ(db.GetVersionPath("Demo", "2.1.map"), root + PathDelim + "Demo" + PathDelim + "2.1.map");
}

TEST_F(MapDbTest, ListingRules) {
  const TMapDB db(root);
  MakeFolder(dir("db", "Demo"));
  MakeFolder(dir("db", ".svn"));
  WriteBytes(dir("db", "readme.txt"), "x");
  WriteBytes(dir("db", ".hidden"), "x");
  MakeFolder(dir("db", "Empty"));
  WriteBytes(dir("db", "Demo", "Release.MAP"), "x");
  WriteBytes(dir("db", "Demo", "2.1.map"), "x");
  WriteBytes(dir("db", "Demo", ".map"), "x");          // a dot name
  WriteBytes(dir("db", "Demo", ".old.map"), "x");      // a dot name
  WriteBytes(dir("db", "Demo", "notes.txt"), "x");     // another extension
  WriteBytes(dir("db", "Demo", "build.mapx"), "x");    // another extension
  MakeFolder(dir("db", "Demo", "Archive.Map"));        // a folder counts
  MakeFolder(dir("db", "Demo", "deeper"));
  WriteBytes(dir("db", "Demo", "deeper", "3.0.map"), "x");  // too deep

  EXPECT_EQ(Sorted(Projects(db)), (Names{"Demo", "Empty", "readme.txt"}));
  EXPECT_EQ(Sorted(Versions(db, "Demo")), (Names{"2.1.map", "archive.map", "release.map"}));
  EXPECT_EQ(Versions(db, "Empty"), Names{});
  EXPECT_EQ(Versions(db, "readme.txt"), Names{});
  EXPECT_EQ(Versions(db, "Nothing"), Names{});
  EXPECT_EQ(Versions(db, "demo").size(), 3u);  // the project in another case
}

TEST_F(MapDbTest, ListingsKeepTheFileSystemOrder) {
  const TMapDB db(root);
  Names made;
  for (const char* name : {"m", "b", "zeta", "Alpha", "q1", "c", "Q0", "k", "x", "d"}) {
    MakeFolder(dir("db", name));
    WriteBytes(dir("db", "m", std::string(name) + ".map"), "x");
  }
  Names enumerated, versions;
  for (const FoundEntry& e : PlatformFileSystem().FindEntries(db.RootFolder() + "*"))
    if (e.name[0] != '.') enumerated.push_back(e.name);
  EXPECT_EQ(Projects(db), enumerated);
  for (const FoundEntry& e : PlatformFileSystem().FindEntries(db.GetVersionPath("m", "*.map")))
    versions.push_back(LowerCase(e.name));
  EXPECT_EQ(Versions(db, "m"), versions);
  EXPECT_EQ(versions.size(), 10u);
}

TEST_F(MapDbTest, VersionExistsInAnyCaseAndOnlyForFiles) {
  const TMapDB db(root);
  MakeFolder(dir("db", "Demo"));
  WriteBytes(dir("db", "Demo", "Release.MAP"), "x");
  MakeFolder(dir("db", "Demo", "Folder.map"));
  for (const char* v : {"Release", "release", "RELEASE"}) EXPECT_TRUE(db.VersionExists("Demo", v)) << v;
  EXPECT_TRUE(db.VersionExists("DEMO", "release"));
  EXPECT_FALSE(db.VersionExists("Demo", "Release.MAP"));  // would be Release.MAP.map
  EXPECT_FALSE(db.VersionExists("Demo", "Folder"));
  EXPECT_FALSE(db.VersionExists("Demo", "Other"));
  EXPECT_FALSE(db.VersionExists("Nothing", "Release"));
}

TEST_F(MapDbTest, CreateProjectMakesOneLevel) {
  const TMapDB db(root);
  EXPECT_TRUE(db.CreateProject("Demo"));
  EXPECT_TRUE(PlatformFileSystem().DirectoryExists(dir("db", "Demo")));
  EXPECT_TRUE(db.CreateProject("Demo"));  // there already
  EXPECT_TRUE(db.CreateProject("dEMO"));  // there already, in another case
  EXPECT_EQ(Projects(db), Names{"Demo"});
  WriteBytes(dir("db", "readme.txt"), "x");
  EXPECT_FALSE(db.CreateProject("readme.txt"));  // a plain file is in the way
}

TEST_F(MapDbTest, AddVersionStoresAByteForByteCopy) {
  const TMapDB db(root);
  WriteBytes(dir("source.map"), kContent);
  ASSERT_TRUE(db.CreateProject("Demo"));
  ASSERT_TRUE(db.AddVersion("Demo", "2.1", dir("source.map")));
  EXPECT_EQ(ReadBytes(dir("db", "Demo", "2.1.map")), kContent);
  EXPECT_EQ(AllNames(dir("db", "Demo")), Names{"2.1.map"});  // no temporary left
  EXPECT_TRUE(db.VersionExists("Demo", "2.1"));
  EXPECT_EQ(ReadBytes(dir("source.map")), kContent);
}

TEST_F(MapDbTest, ProjectTypedInAnotherCaseUsesItsFolder) {
  const TMapDB db(root);
  WriteBytes(dir("source.map"), kContent);
  ASSERT_TRUE(db.CreateProject("Demo"));
  ASSERT_TRUE(db.CreateProject("demo"));
  ASSERT_TRUE(db.AddVersion("demo", "1.0", dir("source.map")));
  EXPECT_EQ(Projects(db), Names{"Demo"});
  EXPECT_EQ(Versions(db, "Demo"), Names{"1.0.map"});
}

TEST_F(MapDbTest, AddVersionNeverOverwrites) {
  const TMapDB db(root);
  WriteBytes(dir("source.map"), kContent);
  MakeFolder(dir("db", "Demo"));
  WriteBytes(dir("db", "Demo", "Release.MAP"), "stored");
  MakeFolder(dir("db", "Demo", "Folder.map"));
  for (const char* v : {"Release", "release", "RELEASE", "Folder"}) {
    EXPECT_FALSE(db.AddVersion("Demo", v, dir("source.map"))) << v;
    EXPECT_EQ(ReadBytes(dir("db", "Demo", "Release.MAP")), "stored");
    EXPECT_EQ(Sorted(AllNames(dir("db", "Demo"))), (Names{"Folder.map", "Release.MAP"})) << v;
  }
}

TEST_F(MapDbTest, AddVersionNeedsTheProjectFolderAndTheSource) {
  const TMapDB db(root);
  WriteBytes(dir("source.map"), kContent);
  EXPECT_FALSE(db.AddVersion("Demo", "1", dir("source.map")));
  EXPECT_EQ(AllNames(root), Names{});
  MakeFolder(dir("db", "Demo"));
  EXPECT_FALSE(db.AddVersion("Demo", "1", dir("nothing.map")));
  EXPECT_FALSE(db.AddVersion("Demo", "1", dir.Path()));  // a folder as the source
  EXPECT_EQ(AllNames(dir("db", "Demo")), Names{});
}

// Names that would reach outside the project's folder, or name the folder
// itself, are refused before anything is made or copied.
TEST_F(MapDbTest, UnsafeNamesAreRefused) {
  const TMapDB db(root);
  WriteBytes(dir("source.map"), kContent);
  MakeFolder(dir("db", "Demo"));
  MakeFolder(dir("db", "Demo", "sub"));
  WriteBytes(dir("db", "outside.map"), "x");       // what "Demo/../outside" names
  WriteBytes(dir("db", "Demo", "sub", "in.map"), "x");
  const std::string unsafe[] = {"", ".", "..", "../outside", "..\\outside", "sub/in", "sub\\in",
                                "C:x", "a:b", std::string("x\0/../y", 7)};
  for (const std::string& name : unsafe) {
    SCOPED_TRACE("name \"" + name + "\"");
    EXPECT_FALSE(db.CreateProject(name));
    EXPECT_FALSE(db.AddVersion(name, "1", dir("source.map")));
    EXPECT_FALSE(db.AddVersion("Demo", name, dir("source.map")));
    EXPECT_FALSE(db.VersionExists("Demo", name));
    EXPECT_FALSE(db.VersionExists(name, "outside"));
  }
  EXPECT_EQ(Sorted(AllNames(dir.Path())), (Names{"db", "source.map"}));
  EXPECT_EQ(Sorted(AllNames(root)), (Names{"Demo", "outside.map"}));
  EXPECT_EQ(Sorted(AllNames(dir("db", "Demo"))), Names{"sub"});
  EXPECT_EQ(AllNames(dir("db", "Demo", "sub")), Names{"in.map"});
  EXPECT_EQ(Versions(db, ".."), Names{});
  // Dots and separators elsewhere in a name are not special.
  EXPECT_TRUE(db.AddVersion("Demo", "..2.1..", dir("source.map")));
  EXPECT_TRUE(db.VersionExists("Demo", "..2.1.."));
}

// A file system whose copy or move misbehaves, over the real one.
class FaultyFileSystem : public FileSystem {
 public:
  enum Fault { ShortCopy, FailedCopyLeavingPart, FailedMove };
  explicit FaultyFileSystem(Fault fault) : fault_(fault) {}

  std::string ReadWholeFile(const std::string& p) const override { return real_.ReadWholeFile(p); }
  std::unique_ptr<FileReader> OpenForReading(const std::string& p) const override { return real_.OpenForReading(p); }
  bool FileExists(const std::string& p) const override { return real_.FileExists(p); }
  bool DirectoryExists(const std::string& p) const override { return real_.DirectoryExists(p); }
  long long FileSize(const std::string& p) const override { return real_.FileSize(p); }
  bool CreateDir(const std::string& p) const override { return real_.CreateDir(p); }
  bool CopyNoReplace(const std::string& from, const std::string& to) const override {
    if (fault_ == FailedMove) return real_.CopyNoReplace(from, to);
    std::string part = real_.ReadWholeFile(from);
    part.resize(part.size() / 2);
    WriteBytes(to, part);
    return fault_ == ShortCopy;  // a short copy that reports success
  }
  bool MoveNoReplace(const std::string& from, const std::string& to) const override {
    return fault_ != FailedMove && real_.MoveNoReplace(from, to);
  }
  bool WriteNewFile(const std::string& p, std::string_view content) const override {
    return real_.WriteNewFile(p, content);
  }
  bool RemoveFile(const std::string& p) const override { return real_.RemoveFile(p); }
  std::vector<FoundEntry> FindEntries(const std::string& p) const override { return real_.FindEntries(p); }

 private:
  const FileSystem& real_ = PlatformFileSystem();
  Fault fault_;
};

TEST_F(MapDbTest, IncompleteCopiesAreNeverStored) {
  WriteBytes(dir("source.map"), kContent);
  MakeFolder(root);
  MakeFolder(dir("db", "Demo"));
  for (const auto fault : {FaultyFileSystem::ShortCopy, FaultyFileSystem::FailedCopyLeavingPart,
                           FaultyFileSystem::FailedMove}) {
    SCOPED_TRACE(fault);
    const FaultyFileSystem fs(fault);
    const TMapDB db(root, fs);
    EXPECT_FALSE(db.AddVersion("Demo", "2.1", dir("source.map")));
    EXPECT_FALSE(db.VersionExists("Demo", "2.1"));
    EXPECT_EQ(AllNames(dir("db", "Demo")), Names{});  // nothing stored, no temporary left
  }
}

// The .build file goes with its MAP file: both or neither, never over
// either, and a .build file left alone (without its .map) is replaced.
TEST_F(MapDbTest, BuildFileStoredOnlyWithItsMapFile) {
  WriteBytes(dir("source.map"), kContent);
  MakeFolder(root);
  MakeFolder(dir("db", "Demo"));
  {
    const TMapDB db(root);
    WriteBytes(dir("db", "Demo", "0.9.build"), "left alone");
    ASSERT_TRUE(db.AddVersionWithBuild("Demo", "0.9", dir("source.map"), "module=Demo.exe\n"));
    EXPECT_EQ(db.ReadBuild("Demo", "0.9"), std::optional<std::string>("module=Demo.exe\n"));
    EXPECT_FALSE(db.AddVersionWithBuild("Demo", "0.9", dir("source.map"), "module=Other.exe\n"));
    EXPECT_EQ(db.ReadBuild("Demo", "0.9"), std::optional<std::string>("module=Demo.exe\n"));
    EXPECT_EQ(db.ReadBuild("Demo", "1.0"), std::nullopt);
    EXPECT_FALSE(db.AddVersionWithBuild("Demo", "1.0", dir("nothing.map"), "module=Demo.exe\n"));
    EXPECT_EQ(Sorted(AllNames(dir("db", "Demo"))), (Names{"0.9.build", "0.9.map"}));
  }
  for (const auto fault : {FaultyFileSystem::ShortCopy, FaultyFileSystem::FailedCopyLeavingPart,
                           FaultyFileSystem::FailedMove}) {
    SCOPED_TRACE(fault);
    const FaultyFileSystem fs(fault);
    const TMapDB db(root, fs);
    EXPECT_FALSE(db.AddVersionWithBuild("Demo", "2.1", dir("source.map"), "module=Demo.exe\n"));
    EXPECT_EQ(Sorted(AllNames(dir("db", "Demo"))), (Names{"0.9.build", "0.9.map"}));  // nothing new, no temporary
  }
}

// The executable kept with a build: stored with its .build and .map files or
// not at all; an extension the store's own files end in is refused.
TEST_F(MapDbTest, ImageStoredWithItsBuild) {
  WriteBytes(dir("source.map"), kContent);
  WriteBytes(dir("App.exe"), "MZ image bytes");
  MakeFolder(root);
  MakeFolder(dir("db", "Demo"));
  {
    const TMapDB db(root);
    ASSERT_TRUE(db.AddVersionWithBuild("Demo", "1.0", dir("source.map"), "module=App.exe\n", dir("App.exe"), ".exe"));
    EXPECT_EQ(ReadBytes(db.GetImagePath("Demo", "1.0", ".exe")), "MZ image bytes");
    // The MAP file cannot follow: the image and the .build file go again.
    EXPECT_FALSE(db.AddVersionWithBuild("Demo", "1.1", dir("nothing.map"), "module=App.exe\n", dir("App.exe"), ".exe"));
    // No image to copy: nothing stored.
    EXPECT_FALSE(db.AddVersionWithBuild("Demo", "1.2", dir("source.map"), "module=App.exe\n", dir("none.exe"), ".exe"));
    for (const char* extension : {".map", ".build", ".", ""})
      EXPECT_FALSE(db.AddVersionWithBuild("Demo", "1.3", dir("source.map"), "x", dir("App.exe"), extension)) << extension;
    EXPECT_EQ(Sorted(AllNames(dir("db", "Demo"))), (Names{"1.0.build", "1.0.exe", "1.0.map"}));
    std::vector<std::string> versions;
    db.GetVersions("Demo", versions);
    EXPECT_EQ(versions, std::vector<std::string>{"1.0.map"});
  }
  for (const auto fault : {FaultyFileSystem::ShortCopy, FaultyFileSystem::FailedCopyLeavingPart,
                           FaultyFileSystem::FailedMove}) {
    SCOPED_TRACE(fault);
    const FaultyFileSystem fs(fault);
    const TMapDB db(root, fs);
    EXPECT_FALSE(db.AddVersionWithBuild("Demo", "2.0", dir("source.map"), "module=App.exe\n", dir("App.exe"), ".exe"));
    EXPECT_EQ(Sorted(AllNames(dir("db", "Demo"))), (Names{"1.0.build", "1.0.exe", "1.0.map"}));
  }
}

}  // namespace
}  // namespace qf
