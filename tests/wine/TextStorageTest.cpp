// The text storage component, with the locale-aware key search of the real
// CompareStringA (code page 1252 under Wine).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "C_TextStorage.h"
#include "base/Errors.h"

namespace qf {
namespace {

using Texts = std::vector<std::string>;

struct LookupCase {
  const char* name;
  Texts loaded;
  bool replace;
  Texts replacement;
  std::string key;
  std::string expected;
};

class TextLookupTest : public ::testing::TestWithParam<LookupCase> {};

TEST_P(TextLookupTest, GetText) {
  const LookupCase& c = GetParam();
  ASSERT_EQ(GetACP(), 1252u);
  TTextStorage storage;
  storage.LoadFromForm(c.loaded);
  if (c.replace) storage.SetItems(c.replacement);
  EXPECT_EQ(storage.GetText(c.key), c.expected);
}

const Texts kAbout = {"About", "Version :"};

INSTANTIATE_TEST_SUITE_P(
    Keys, TextLookupTest,
    ::testing::Values(
        LookupCase{"StoredKey", kAbout, false, {}, "Version :", "Version :"},
        LookupCase{"KeyInLowerCase", kAbout, false, {}, "version :", "Version :"},
        LookupCase{"KeyInUpperCase", kAbout, false, {}, "ABOUT", "About"},
        LookupCase{"KeyNotStored", kAbout, false, {}, "Ok", "Ok"},
        LookupCase{"LongerKeyIsNotAMatch", kAbout, false, {}, "About ", "About "},
        LookupCase{"ReplacedText", kAbout, true, {"Info", "unused"}, "About", "Info"},
        LookupCase{
            "PlaceholderGivesTheKey", kAbout, true, {"Info", "unused"}, "Version :", "Version :"},
        LookupCase{"PlaceholderKeepsTheCallersCase",
                   kAbout,
                   true,
                   {"Info", "unused"},
                   "VERSION :",
                   "VERSION :"},
        LookupCase{"PlaceholderIsCaseSensitive",
                   kAbout,
                   true,
                   {"Unused", "UNUSED"},
                   "Version :",
                   "UNUSED"},
        LookupCase{"ReplacedTextsAreNotKeys",
                   kAbout,
                   true,
                   {"\xC0 propos", "Version"},
                   "\xC0 propos",
                   "\xC0 propos"},
        LookupCase{
            "KeysStayAsLoaded", kAbout, true, {"\xC0 propos", "Version"}, "about", "\xC0 propos"},
        LookupCase{"EmptyStorage", {}, false, {}, "About", "About"},
        LookupCase{"EmptyKeyInEmptyStorage", {}, false, {}, "", ""},
        LookupCase{"EmptyKeyStored", {"", "x"}, true, {"empty", "x"}, "", "empty"},
        LookupCase{"FirstMatchWins", {"Name", "NAME"}, true, {"first", "second"}, "name", "first"},
        // The locale folds accented letters: É (C9) and é (E9) in code page 1252.
        LookupCase{"AccentedCapitalFolds", {"\xC9t\xE9"}, false, {}, "\xE9T\xC9", "\xC9t\xE9"},
        LookupCase{"AccentsStillCount", {"\xC9t\xE9"}, false, {}, "Ete", "Ete"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TextStorage, AfterLoadingTheKeysAreACopyOfTheTexts) {
  TTextStorage storage;
  EXPECT_TRUE(storage.Items().empty());
  EXPECT_TRUE(storage.DefaultItems().empty());
  storage.LoadFromForm(kAbout);
  EXPECT_EQ(storage.Items(), kAbout);
  EXPECT_EQ(storage.DefaultItems(), kAbout);
}

TEST(TextStorage, TheWriterReplacesTheKeysOnlyInADesigner) {
  TTextStorage storage;
  storage.LoadFromForm(kAbout);
  storage.SetItems({"Info", "Version"});
  EXPECT_EQ(storage.Items(), (Texts{"Info", "Version"}));
  EXPECT_EQ(storage.DefaultItems(), kAbout);

  storage.Designing = true;
  storage.SetItems({"Hello"});
  EXPECT_EQ(storage.Items(), Texts{"Hello"});
  EXPECT_EQ(storage.DefaultItems(), Texts{"Hello"});
}

TEST(TextStorage, KeyPastTheEndOfTheTextsIsAListIndexError) {
  TTextStorage storage;
  storage.LoadFromForm(kAbout);
  storage.SetItems({"Info"});
  EXPECT_EQ(storage.GetText("About"), "Info");
  try {
    storage.GetText("version :");
    FAIL() << "no error";
  } catch (const EListError& error) {
    EXPECT_STREQ(error.what(), "Indice de liste hors limites (1)");
  }
  EXPECT_EQ(storage.GetText("Ok"), "Ok");  // keys that are not stored never reach the list
}

}  // namespace
}  // namespace qf
