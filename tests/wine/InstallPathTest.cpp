// The install path value under HKEY_LOCAL_MACHINE\SOFTWARE\Velmora, read back
// from the real registry.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "U_Utils.h"
#include "UniqueHandle.h"

namespace qf {
namespace {

const char kKey[] = "SOFTWARE\\Velmora";

struct StoredValue {
  bool found = false;
  DWORD type = REG_NONE;
  std::string data;  // as stored, terminating NUL included
};

StoredValue ReadValue(const std::string& name) {
  StoredValue result;
  UniqueRegKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
    return result;
  DWORD size = 0;
  if (RegQueryValueExA(key.get(), name.c_str(), nullptr, &result.type, nullptr, &size) !=
      ERROR_SUCCESS) {
    return result;
  }
  std::vector<char> buffer(size + 1);
  if (RegQueryValueExA(key.get(), name.c_str(), nullptr, &result.type,
                       reinterpret_cast<BYTE*>(buffer.data()), &size) == ERROR_SUCCESS) {
    result.found = true;
    result.data.assign(buffer.data(), size);
  }
  return result;
}

class InstallPathTest : public ::testing::Test {
 protected:
  // A value name of this run only, removed afterwards.
  const std::string name_ = "Quillfen test " + std::to_string(GetCurrentProcessId());

  ~InstallPathTest() override {
    UniqueRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS) {
      RegDeleteValueA(key.get(), name_.c_str());
    }
  }
};

TEST_F(InstallPathTest, EachCallReplacesTheValue) {
  const char* const values[] = {"C:\\Program Files\\Quillfen\\Quillfen.exe",
                                "D:\\Outils\\\xC9t\xE9\\Quillfen.exe", ""};
  for (const char* value : values) {
    RecordInstallPath(name_, value);
    const StoredValue stored = ReadValue(name_);
    ASSERT_TRUE(stored.found) << value;
    EXPECT_EQ(stored.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(stored.data, std::string(value) + '\0');
  }
}

// A value the registry refuses (its name is longer than the 16383 characters
// a value name may have) is left alone without a word.
TEST_F(InstallPathTest, AValueThatCannotBeWrittenIsIgnored) {
  RecordInstallPath(name_, "C:\\first\\Quillfen.exe");
  const std::string tooLong(20000, 'n');
  EXPECT_NO_THROW(RecordInstallPath(tooLong, "C:\\second\\Quillfen.exe"));
  EXPECT_FALSE(ReadValue(tooLong).found);
  EXPECT_EQ(ReadValue(name_).data, std::string("C:\\first\\Quillfen.exe") + '\0');
}

}  // namespace
}  // namespace qf
