#include "crash/CrashReport.h"

#include <algorithm>
#include <unordered_set>

namespace qf {
namespace {

// The classes of a byte, looked up rather than compared: a report is read a
// byte at a time.
enum : uint8_t { kHexDigit = 1, kWordChar = 2 };
struct ByteTables {
  uint8_t classes[256] = {};
  char lower[256] = {};
};
constexpr ByteTables MakeByteTables() {
  ByteTables t;
  for (int c = 0; c < 256; ++c) {
    const bool digit = c >= '0' && c <= '9', upper = c >= 'A' && c <= 'Z', lower = c >= 'a' && c <= 'z';
    const bool hexLetter = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    t.classes[c] = uint8_t((digit || hexLetter ? kHexDigit : 0) | (digit || upper || lower || c == '_' ? kWordChar : 0));
    t.lower[c] = char(upper ? c - 'A' + 'a' : c);
  }
  return t;
}
constexpr ByteTables kBytes = MakeByteTables();

bool IsHex(char c) { return kBytes.classes[uint8_t(c)] & kHexDigit; }
bool IsWord(char c) { return kBytes.classes[uint8_t(c)] & kWordChar; }
// The characters of a module's file name as it stands before "+0x".
bool IsModuleChar(char c) { return IsWord(c) || c == '.' || c == '-'; }
char Lower(char c) { return kBytes.lower[uint8_t(c)]; }

bool StartsWithNoCase(std::string_view text, size_t at, std::string_view word) {
  if (text.size() - at < word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i)
    if (Lower(text[at + i]) != Lower(word[i])) return false;
  return true;
}


uint64_t HexValue(std::string_view digits) {
  uint64_t value = 0;
  for (char c : digits) value = value << 4 | uint64_t(c <= '9' ? c - '0' : Lower(c) - 'a' + 10);
  return value;
}

// 1 to 16 hexadecimal digits and nothing else.
std::optional<uint64_t> ParseHex(std::string_view digits) {
  if (digits.empty() || digits.size() > 16 || !std::all_of(digits.begin(), digits.end(), IsHex)) return std::nullopt;
  return HexValue(digits);
}

std::string_view WithoutHexPrefix(std::string_view text) {
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return text.substr(2);
  if (!text.empty() && text[0] == '$') return text.substr(1);
  return text;
}

// The end of the run of hexadecimal digits that starts at `at`.
size_t HexEnd(std::string_view text, size_t at) {
  while (at < text.size() && IsHex(text[at])) ++at;
  return at;
}

bool WordEndsAt(std::string_view text, size_t at) { return at >= text.size() || !IsWord(text[at]); }

struct Found {
  size_t start = 0, end = 0;  // the text that was read
  AddressRef ref;
};

// MODULE+0xRVA at the "+" at `plus`.
std::optional<Found> ModuleRvaAt(std::string_view text, size_t plus) {
  size_t nameStart = plus;
  while (nameStart > 0 && IsModuleChar(text[nameStart - 1])) --nameStart;
  const std::string_view name = text.substr(nameStart, plus - nameStart);
  const bool hasLetter = std::any_of(name.begin(), name.end(), [](char c) { return IsWord(c) && !IsHex(c); }) ||
                         name.find('.') != std::string_view::npos;
  if (name.empty() || !hasLetter || !StartsWithNoCase(text, plus + 1, "0x")) return std::nullopt;
  const size_t digits = plus + 3, end = HexEnd(text, digits);
  if (end == digits || end - digits > 16 || !WordEndsAt(text, end)) return std::nullopt;
  return Found{nameStart, end, AddressRef{HexValue(text.substr(digits, end - digits)), true, std::string(name)}};
}

// "Fault offset: 0xRVA" at `at`.
std::optional<Found> FaultOffsetAt(std::string_view text, size_t at) {
  static constexpr std::string_view kLabel = "fault offset:";
  if (!StartsWithNoCase(text, at, kLabel) || (at > 0 && IsWord(text[at - 1]))) return std::nullopt;
  size_t digits = at + kLabel.size();
  while (digits < text.size() && (text[digits] == ' ' || text[digits] == '\t')) ++digits;
  if (!StartsWithNoCase(text, digits, "0x")) return std::nullopt;
  digits += 2;
  const size_t end = HexEnd(text, digits);
  if (end == digits || end - digits > 16 || !WordEndsAt(text, end)) return std::nullopt;
  return Found{at, end, AddressRef{HexValue(text.substr(digits, end - digits)), true, std::string()}};
}

// The longest module file name a report can hold (MAX_PATH).
constexpr size_t kMaxModuleName = 260;

// The text after `label` up to the next comma, quote or line end, trimmed;
// nothing when that runs past the longest module name (a label in a long
// line would otherwise take all the line after it, and each further label
// in the line its own copy of the rest).
std::string_view NameAfter(std::string_view text, size_t from, std::string_view stops) {
  while (from < text.size() && (text[from] == ' ' || text[from] == '\t')) ++from;
  size_t end = from;
  while (end < text.size() && stops.find(text[end]) == std::string_view::npos) {
    if (++end - from > kMaxModuleName) return {};
  }
  std::string_view name = text.substr(from, end - from);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
  return name;
}

constexpr std::string_view kFaultingModule = "faulting module name:";

}  // namespace

std::optional<AddressRef> ParseAddress(std::string_view text) {
  const size_t plus = text.find('+');
  if (plus == std::string_view::npos) {
    const auto value = ParseHex(WithoutHexPrefix(text));
    if (!value) return std::nullopt;
    return AddressRef{*value, false, std::string()};
  }
  const std::string_view module = text.substr(0, plus);
  const auto rva = ParseHex(WithoutHexPrefix(text.substr(plus + 1)));
  if (module.empty() || !rva) return std::nullopt;
  return AddressRef{*rva, true, std::string(module)};
}

std::string ReportText(std::string_view bytes) {
  if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xFE) {
    std::string text;
    text.reserve(bytes.size() / 2);
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      if (bytes[i] == 0 && bytes[i + 1] == 0) break;
      text += bytes[i + 1] == 0 ? bytes[i] : '?';
    }
    return text;
  }
  return std::string(bytes.substr(0, bytes.find('\0')));
}

std::vector<AddressRef> ScanCrashReport(std::string_view report) {
  // The named forms first; their digits are not read again below.
  // A fault offset belongs to the module named by the event's "Faulting
  // module name:" before it.
  std::vector<Found> named;
  std::string_view faultingModule;
  for (size_t i = 0; i < report.size(); ++i) {
    // Both labels start with "f": one test of a byte before any comparison.
    const bool f = Lower(report[i]) == 'f';
    if (f && StartsWithNoCase(report, i, kFaultingModule))
      faultingModule = NameAfter(report, i + kFaultingModule.size(), ",\r\n");
    std::optional<Found> found;
    if (report[i] == '+') {
      found = ModuleRvaAt(report, i);
    } else if (f) {
      found = FaultOffsetAt(report, i);
    }
    if (!found) continue;
    if (found->ref.module.empty()) found->ref.module = std::string(faultingModule);
    i = found->end - 1;
    named.push_back(std::move(*found));
  }
  std::vector<AddressRef> addresses;
  auto next = named.begin();
  for (size_t i = 0; i < report.size();) {
    if (next != named.end() && i >= next->start) {
      addresses.push_back(next->ref);
      i = next->end;
      ++next;
      continue;
    }
    if (!IsHex(report[i])) {
      ++i;
      continue;
    }
    const size_t start = i;
    size_t end = HexEnd(report, start);
    if (next != named.end() && end > next->start) end = next->start;
    i = end;
    const size_t length = end - start;
    if (length != 8 && length != 16) continue;
    if (!WordEndsAt(report, end)) continue;
    const bool freeStart = start == 0 || !IsWord(report[start - 1]);
    const bool prefixed = start >= 2 && report[start - 2] == '0' && Lower(report[start - 1]) == 'x' &&
                          (start == 2 || !IsWord(report[start - 3]));
    if (freeStart || prefixed) addresses.push_back(AddressRef{HexValue(report.substr(start, length)), false, {}});
  }
  return addresses;
}

std::vector<std::string> ModulesInReport(std::string_view report) {
  std::vector<std::string> modules;
  std::unordered_set<std::string> known;  // the names in lower case
  auto add = [&modules, &known](std::string_view name) {
    if (name.empty()) return;
    std::string key(name);
    std::transform(key.begin(), key.end(), key.begin(), Lower);
    if (known.insert(std::move(key)).second) modules.emplace_back(name);
  };
  for (size_t i = 0; i < report.size(); ++i) {
    const char c = Lower(report[i]);
    if (c == '+') {
      if (const auto found = ModuleRvaAt(report, i)) add(found->ref.module);
    } else if (c == 'i' && StartsWithNoCase(report, i, "in module '")) {
      add(NameAfter(report, i + 11, "'\r\n"));
    } else if (c != 'f') {
      continue;
    } else if (StartsWithNoCase(report, i, "faulting application name:")) {
      add(NameAfter(report, i + 26, ",\r\n"));
    } else if (StartsWithNoCase(report, i, kFaultingModule)) {
      add(NameAfter(report, i + kFaultingModule.size(), ",\r\n"));
    }
  }
  return modules;
}

}  // namespace qf
