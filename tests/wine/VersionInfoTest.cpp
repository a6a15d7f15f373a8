// The version text of executables and the wide-or-ANSI file routines, against
// real version resources and the real file system under Wine.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "U_UnicodeUtils.h"
#include "U_Utils.h"
#include "WinTestSupport.h"

namespace qf {
namespace {

// Runs a test with the wide or the ANSI variants, restoring the probe's answer.
class WideApiMode {
 public:
  explicit WideApiMode(bool wide) : saved_(WideApiAvailable) { WideApiAvailable = wide; }
  ~WideApiMode() { WideApiAvailable = saved_; }

 private:
  bool saved_;
};

class VersionTextTest : public ::testing::TestWithParam<bool> {
 protected:
  VersionTextTest() : mode_(GetParam()) {}

  test::ScratchFolder scratch_;
  const std::wstring exeFolder_ = test::ExeFolder();

 private:
  WideApiMode mode_;
};

TEST(WideApiProbe, FindsTheWideFunctionsAtStartAndAgainWhenCalled) {
  EXPECT_TRUE(WideApiAvailable);  // set while the program started
  const WideApiMode mode(false);
  ProbeWideApi();
  EXPECT_TRUE(WideApiAvailable);
}

TEST_P(VersionTextTest, ReadsTheFixedFileVersion) {
  EXPECT_EQ(GetFileVersionString(exeFolder_ + L"version_1_4_0_12.exe"), L"1.4.0.12");
  EXPECT_EQ(GetFileVersionString(exeFolder_ + L"version_2_10_3_0.exe"), L"2.10.3.0");
}

TEST_P(VersionTextTest, ReadsNamesWithAnsiLettersOutsideAscii) {
  const std::wstring copy =
      scratch_.CopyIn(exeFolder_ + L"version_2_10_3_0.exe", L"versi\u00F3n \u00E9t\u00E9.exe");
  EXPECT_EQ(GetFileVersionString(copy), L"2.10.3.0");
}

TEST_P(VersionTextTest, FailureTexts) {
  const std::wstring text = scratch_.WriteFile(L"notes.txt", "plain text, no resources\r\n");
  const std::wstring empty = scratch_.WriteFile(L"empty.exe", "");
  const std::wstring folder = scratch_.MakeFolder(L"folder.exe");
  const struct {
    std::wstring name;
    const wchar_t* expected;
  } cases[] = {
      {scratch_.Path() + L"missing.exe", L"File not found"},
      {folder, L"File not found"},
      {scratch_.Path(), L"File not found"},
      {L"", L"File not found"},
      {text, L"Unable to retrieve file version info"},
      {empty, L"Unable to retrieve file version info"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetFileVersionString(c.name), c.expected) << WideToAnsi(c.name);
  }
}

TEST_P(VersionTextTest, FileExistsOnlyForFiles) {
  const std::wstring text = scratch_.WriteFile(L"a.txt", "x");
  const std::wstring folder = scratch_.MakeFolder(L"sub");
  EXPECT_TRUE(WideFileExists(text));
  EXPECT_TRUE(WideFileExists(exeFolder_ + L"version_1_4_0_12.exe"));
  EXPECT_FALSE(WideFileExists(folder));
  EXPECT_FALSE(WideFileExists(scratch_.Path() + L"b.txt"));
}

INSTANTIATE_TEST_SUITE_P(WideAndAnsi, VersionTextTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Wide" : "Ansi"; });

// A name with letters outside the ANSI code page is reached only through the
// wide functions. Through the ANSI ones it is not found: converted it would be
// "??.exe", a pattern that matches other files of the folder.
TEST(VersionTextOutsideTheCodePage, WideFindsTheFileAnsiFindsNothing) {
  test::ScratchFolder scratch;
  const std::wstring name =
      scratch.CopyIn(test::ExeFolder() + L"version_1_4_0_12.exe", L"\u03A9\u4E2D.exe");
  scratch.CopyIn(test::ExeFolder() + L"version_2_10_3_0.exe", L"ab.exe");
  {
    const WideApiMode mode(true);
    EXPECT_TRUE(WideFileExists(name));
    EXPECT_EQ(GetFileVersionString(name), L"1.4.0.12");
  }
  {
    const WideApiMode mode(false);
    EXPECT_FALSE(WideFileExists(name));
    DWORD handle = 7;
    EXPECT_EQ(WideGetFileVersionInfoSize(name, &handle), 0u);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(GetFileVersionString(name), L"File not found");
  }
}

TEST(AnsiConversion, RoundTripsTheCodePage) {
  ASSERT_EQ(GetACP(), 1252u) << "the tests expect Wine's default Western code page";
  EXPECT_EQ(WideToAnsi(L"C:\\Programme\\\u00C9t\u00E9"), "C:\\Programme\\\xC9t\xE9");
  EXPECT_EQ(AnsiToWide("C:\\Programme\\\xC9t\xE9"), L"C:\\Programme\\\u00C9t\u00E9");
  EXPECT_EQ(WideToAnsi(L""), "");
  EXPECT_EQ(AnsiToWide(""), L"");
  EXPECT_EQ(WideToAnsi(L"\u03A9\u4E2D"), "??");  // no best-fit letters: \u03A9 is not "O"
}

}  // namespace
}  // namespace qf
