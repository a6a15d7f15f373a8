#include "db/BuildIdentity.h"

#include "base/NumberText.h"

#include <cstdio>

#include "base/TextRules.h"

namespace qf {
namespace {

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// "0x" and 1 to 8 hexadecimal digits.
std::optional<uint32_t> Hex32(const std::string& text) {
  if (text.size() < 3 || text.size() > 10 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X'))
    return std::nullopt;
  uint32_t value = 0;
  for (size_t i = 2; i < text.size(); ++i) {
    if (!IsHexDigit(text[i])) return std::nullopt;
    const char c = text[i];
    value = value << 4 | uint32_t(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
  }
  return value;
}

}  // namespace

std::string BuildIdentity::CodeId() const {
  return HexText(timeDateStamp, 8) + HexText(sizeOfImage, 1, HexCase::Lower);
}

std::string FormatBuildIdentity(const BuildIdentity& identity) {
  std::string text;
  text += "module=" + identity.module + "\n";
  text += "machine=" + identity.machine + "\n";
  text += "time_date_stamp=0x" + HexText(identity.timeDateStamp, 8) + "\n";
  text += "size_of_image=0x" + HexText(identity.sizeOfImage) + "\n";
  text += "code_id=" + identity.CodeId() + "\n";
  if (identity.fileVersion) text += "file_version=" + *identity.fileVersion + "\n";
  if (!identity.sha256.empty()) text += "sha256=" + identity.sha256 + "\n";
  for (const auto& other : identity.others) text += other.first + "=" + other.second + "\n";
  return text;
}

std::optional<BuildIdentity> ParseBuildIdentity(const std::string& text, std::string& problem) {
  BuildIdentity identity;
  bool hasStamp = false, hasSize = false;
  std::optional<std::string> codeId;
  size_t at = 0;
  int number = 0;
  const auto fail = [&problem, &number](const std::string& what) {
    problem = number > 0 ? "line " + std::to_string(number) + ": " + what : what;
    return std::nullopt;
  };
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const size_t equals = line.find('=');
    if (equals == std::string::npos || equals == 0) return fail("no KEY=VALUE");
    const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
    if (key == "module") {
      identity.module = value;
    } else if (key == "machine") {
      identity.machine = value;
    } else if (key == "time_date_stamp" || key == "size_of_image") {
      const std::optional<uint32_t> number32 = Hex32(value);
      if (!number32) return fail(key + " is not a hexadecimal number of 32 bits (0x...)");
      (key == "time_date_stamp" ? identity.timeDateStamp : identity.sizeOfImage) = *number32;
      (key == "time_date_stamp" ? hasStamp : hasSize) = true;
    } else if (key == "code_id") {
      codeId = value;
    } else if (key == "file_version") {
      identity.fileVersion = value;
    } else if (key == "sha256") {
      if (value.size() != 64) return fail("sha256 is not 64 hexadecimal digits");
      for (const char c : value)
        if (!IsHexDigit(c)) return fail("sha256 is not 64 hexadecimal digits");
      identity.sha256 = LowerCase(value);
    } else {
      identity.others.emplace_back(key, value);
    }
  }
  number = 0;
  if (identity.module.empty()) return fail("no module");
  if (identity.machine.empty()) return fail("no machine");
  if (!hasStamp) return fail("no time_date_stamp");
  if (!hasSize) return fail("no size_of_image");
  if (codeId && !SameText(*codeId, identity.CodeId()))
    return fail("code_id " + *codeId + " is not that of time_date_stamp and size_of_image (" + identity.CodeId() + ")");
  return identity;
}

}  // namespace qf
