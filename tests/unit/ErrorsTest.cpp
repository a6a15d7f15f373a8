#include <gtest/gtest.h>

#include "base/Errors.h"

namespace qf {
namespace {

TEST(Errors, SystemMessageLosesTrailingBlanksControlsAndDots) {
  const struct {
    std::string text, expected;
  } cases[] = {
      {"Le fichier sp\xE9" "cifi\xE9 est introuvable.\r\n", "Le fichier sp\xE9" "cifi\xE9 est introuvable"},
      {"No such file or directory", "No such file or directory"},
      {"Access denied. . .  ", "Access denied"},
      {"v1.2 failed\t.", "v1.2 failed"},
      {"...", ""},
      {"", ""},
      {"ends with \xE9", "ends with \xE9"},
      {"a.b", "a.b"},
  };
  for (const auto& c : cases) EXPECT_EQ(CleanSystemMessage(c.text), c.expected);
}

TEST(Errors, MessagesOfTheTwoRaisedErrors) {
  const EFOpenError open("C:\\maps\\X.map", "File not found.\r\n");
  EXPECT_STREQ(open.what(), "Impossible d'ouvrir le fichier \"C:\\maps\\X.map\". File not found");
  EXPECT_STREQ(EListError(5).what(), "Indice de liste hors limites (5)");
  EXPECT_STREQ(EListError(-1).what(), "Indice de liste hors limites (-1)");
  // Both are shown by the same error box, so both derive from the one base.
  EXPECT_NE(dynamic_cast<const Exception*>(&open), nullptr);
}

}  // namespace
}  // namespace qf
