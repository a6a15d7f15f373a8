#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Errors.h"
#include "TestFiles.h"
#include "base/TextFile.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace qf {
namespace {

using Lines = std::vector<std::string>;
using test::ScratchFile;

TEST(TextFile, LinesOfAFile) {
  const struct {
    std::string_view bytes;
    Lines expected;
  } cases[] = {
      {"A\r\nB\n\rC", {"A", "B", "", "C"}},
      {std::string_view("A\r\nB\0\n\rC", 8), {"A", "B"}},  // a NUL ends the text
      {std::string_view("A\r\n\0B", 5), {"A"}},
      {std::string_view("\0A", 2), {}},
      {"A\r\nB\r\n", {"A", "B"}},
      {"", {}},
      {"\r\n", {""}},
      {"only", {"only"}},
      {"\tx \r \r\n", {"\tx ", " "}},
      {"\xEF\xBB\xBFLine numbers\n", {"\xEF\xBB\xBFLine numbers"}},
  };
  int n = 0;
  for (const auto& c : cases) {
    const ScratchFile file("qf-textfile-" + std::to_string(n++) + ".txt", c.bytes);
    Lines lines = {"old"};
    LoadTextLines(file.Name(), lines);
    EXPECT_EQ(lines, c.expected) << testing::PrintToString(std::string(c.bytes));
  }
}

TEST(TextFile, BufferIsCutAtTheFirstNul) {
  const ScratchFile file("qf-textfile-nul.txt", std::string_view("ab\r\n\0cd\0", 8));
  EXPECT_EQ(LoadTextBuffer(file.Name()), "ab\r\n");
  const ScratchFile plain("qf-textfile-plain.txt", "ab\r\ncd");
  EXPECT_EQ(LoadTextBuffer(plain.Name()), "ab\r\ncd");
}

TEST(TextFile, LargeFileIsReadWhole) {
  std::string bytes;
  for (int i = 0; bytes.size() < (3u << 20); ++i) bytes += "    " + std::to_string(i) + " 0001:00000A10\r\n";
  const ScratchFile file("qf-textfile-large.txt", bytes);
  EXPECT_EQ(LoadTextBuffer(file.Name()), bytes);
}

// The message is Impossible d'ouvrir le fichier "<full path>". <system text>,
// the system text without trailing dots, blanks or control characters.
void ExpectOpenError(const std::string& name, const std::string& expectedFullPath) {
  Lines lines = {"kept", "as they were"};
  try {
    LoadTextLines(name, lines);
    FAIL() << "no error for " << name;
  } catch (const EFOpenError& e) {
    const std::string message = e.what();
    const std::string head = "Impossible d'ouvrir le fichier \"";
    ASSERT_EQ(message.compare(0, head.size(), head), 0) << message;
    const auto close = message.find("\". ", head.size());
    ASSERT_NE(close, std::string::npos) << message;
    const std::string fullPath = message.substr(head.size(), close - head.size());
    const std::string system = message.substr(close + 3);
#ifdef _WIN32
    // GetFullPathName's spelling: a drive, backslashes, the name at the end.
    (void)expectedFullPath;
    ASSERT_GE(fullPath.size(), 3u);
    EXPECT_EQ(fullPath.substr(1, 2), ":\\") << fullPath;
    const std::string tail = "\\" + name.substr(name.find_last_of("/\\") + 1);
    EXPECT_EQ(fullPath.substr(fullPath.size() - tail.size()), tail) << fullPath;
#else
    EXPECT_EQ(fullPath, expectedFullPath);
#endif
    ASSERT_FALSE(system.empty()) << message;
    const unsigned char last = static_cast<unsigned char>(system.back());
    EXPECT_TRUE(last > ' ' && last != '.') << message;
  }
  EXPECT_EQ(lines, (Lines{"kept", "as they were"}));
}

TEST(TextFile, MissingFileRaisesTheOpenErrorWithTheFullPath) {
  const std::string absolute = test::DataFile("no-such-file.map");
  ExpectOpenError(absolute, absolute);
#ifndef _WIN32
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ExpectOpenError("qf-no-such-file.txt", std::string(cwd) + "/qf-no-such-file.txt");
  // "." and ".." are folded away, as Windows' full path does.
  ExpectOpenError("./a//b/../../qf-no-such-file.txt", std::string(cwd) + "/qf-no-such-file.txt");
#else
  ExpectOpenError("qf-no-such-file.txt", "");
#endif
}

#ifdef _WIN32
TEST(TextFile, SystemTextOfAMissingFile) {
  try {
    LoadTextBuffer("qf-no-such-file.txt");
    FAIL();
  } catch (const EFOpenError& e) {
    const std::string message = e.what();
    EXPECT_EQ(message.find('\r'), std::string::npos);
    EXPECT_EQ(message.find('\n'), std::string::npos);
  }
}
#else
TEST(TextFile, SystemTextOfAMissingFile) {
  const std::string absolute = test::DataFile("no-such-file.map");
  try {
    LoadTextBuffer(absolute);
    FAIL();
  } catch (const EFOpenError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Impossible d'ouvrir le fichier \"" + absolute + "\". No such file or directory");
  }
}
#endif

TEST(TextFile, FolderCannotBeReadAsAFile) {
  Lines lines = {"kept"};
  EXPECT_THROW(LoadTextLines(QF_TESTDATA_DIR, lines), EFOpenError);
  EXPECT_EQ(lines, Lines{"kept"});
}

}  // namespace
}  // namespace qf
