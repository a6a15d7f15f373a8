// SHA-256 against the published test vectors, and the .build files of the
// MAP database: written, read back, and refused when damaged.
#include <gtest/gtest.h>

#include "base/Sha256.h"
#include "db/BuildIdentity.h"

namespace qf {
namespace {

TEST(Sha256, KnownVectors) {
  const struct {
    std::string input;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      // 56 bytes: the length no longer fits the block of the message.
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Sha256Hex(c.input), c.digest) << c.input.size() << " bytes";
    // Fed in pieces of every size that splits blocks differently.
    for (const size_t piece : {1u, 3u, 63u, 64u, 65u, 4096u}) {
      Sha256 sha;
      for (size_t at = 0; at < c.input.size(); at += piece) sha.Update(std::string_view(c.input).substr(at, piece));
      EXPECT_EQ(sha.FinishHex(), c.digest) << c.input.size() << " bytes in pieces of " << piece;
    }
  }
}

BuildIdentity CrashLib() {
  BuildIdentity identity;
  identity.module = "CrashLib.dll";
  identity.machine = "x64";
  identity.timeDateStamp = 0x5F1E2A3B;
  identity.sizeOfImage = 0x1D000;
  identity.fileVersion = "2.7.1.8";
  identity.sha256 = std::string(64, 'a');
  return identity;
}

TEST(BuildIdentity, WrittenAndReadBack) {
  const std::string text = FormatBuildIdentity(CrashLib());
  EXPECT_EQ(text,
            "module=CrashLib.dll\nmachine=x64\ntime_date_stamp=0x5F1E2A3B\nsize_of_image=0x1D000\n"
            "code_id=5F1E2A3B1d000\nfile_version=2.7.1.8\nsha256=" + std::string(64, 'a') + "\n");
  std::string problem;
  const auto read = ParseBuildIdentity(text, problem);
  ASSERT_TRUE(read) << problem;
  EXPECT_EQ(FormatBuildIdentity(*read), text);
  EXPECT_TRUE(read->SameBuild(CrashLib()));
  EXPECT_FALSE(read->SameBuild(0x5F1E2A3B, 0x1E000));
  // CR LF lines, comments, another order and keys of others.
  const auto edited = ParseBuildIdentity(
      "# by hand\r\nsize_of_image=0x1d000\r\nmachine=x86\r\nmodule=App.exe\r\n\r\ntime_date_stamp=0x2A425E19\r\n"
      "image=App.exe\r\n",
      problem);
  ASSERT_TRUE(edited) << problem;
  EXPECT_EQ(edited->CodeId(), "2A425E191d000");
  EXPECT_EQ(edited->fileVersion, std::nullopt);
  EXPECT_EQ(edited->others, (std::vector<std::pair<std::string, std::string>>{{"image", "App.exe"}}));
}

TEST(BuildIdentity, DamagedFilesNamed) {
  const std::string good = FormatBuildIdentity(CrashLib());
  const auto replaced = [&good](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const struct {
    std::string text;
    const char* problem;
  } cases[] = {
      {"", "no module"},
      {replaced("module=CrashLib.dll\n", ""), "no module"},
      {replaced("machine=x64\n", ""), "no machine"},
      {replaced("time_date_stamp=0x5F1E2A3B\n", ""), "no time_date_stamp"},
      {replaced("size_of_image=0x1D000", "size_of_image"), "line 4: no KEY=VALUE"},
      {replaced("0x5F1E2A3B", "5F1E2A3B"), "line 3: time_date_stamp is not a hexadecimal number of 32 bits (0x...)"},
      {replaced("0x1D000", "0x1D0000000"), "line 4: size_of_image is not a hexadecimal number of 32 bits (0x...)"},
      {replaced("0x1D000", "0x1G000"), "line 4: size_of_image is not a hexadecimal number of 32 bits (0x...)"},
      {replaced("code_id=5F1E2A3B1d000", "code_id=5F1E2A3B1e000"),
       "code_id 5F1E2A3B1e000 is not that of time_date_stamp and size_of_image (5F1E2A3B1d000)"},
      {replaced(std::string(64, 'a'), std::string(63, 'a')), "line 7: sha256 is not 64 hexadecimal digits"},
      {replaced(std::string(64, 'a'), std::string(63, 'a') + "z"), "line 7: sha256 is not 64 hexadecimal digits"},
  };
  for (const auto& c : cases) {
    std::string problem;
    EXPECT_FALSE(ParseBuildIdentity(c.text, problem)) << c.text;
    EXPECT_EQ(problem, c.problem) << c.text;
  }
}

}  // namespace
}  // namespace qf
