#include "crash/CrashReport.h"

#include "crash/ReportBytes.h"

#include <algorithm>
#include <unordered_set>

namespace qf {
namespace {

using report_bytes::IsHex;
using report_bytes::IsWord;
using report_bytes::Label;
using report_bytes::Lower;
using report_bytes::MakeLabel;

bool LabelAt(std::string_view text, size_t at, const Label& label) {
  return report_bytes::LabelAt(text.data(), text.size(), at, label);
}

constexpr Label kFaultingModule = MakeLabel("faulting module name:");
constexpr Label kFaultingApplication = MakeLabel("faulting application name:");
constexpr Label kFaultOffset = MakeLabel("fault offset:");
constexpr Label kInModule = MakeLabel("in module '");

uint64_t HexValue(std::string_view text, size_t from, size_t to) { return report_bytes::HexRunValue(text.data(), from, to); }

// 1 to 16 hexadecimal digits and nothing else.
std::optional<uint64_t> ParseHex(std::string_view digits) {
  if (digits.empty() || digits.size() > 16 || !std::all_of(digits.begin(), digits.end(), IsHex)) return std::nullopt;
  return HexValue(digits, 0, digits.size());
}

std::string_view WithoutHexPrefix(std::string_view text) {
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return text.substr(2);
  if (!text.empty() && text[0] == '$') return text.substr(1);
  return text;
}

// The end of the run of hexadecimal digits that starts at `at`.
size_t HexEnd(std::string_view text, size_t at) { return report_bytes::HexRunEnd(text.data(), text.size(), at, text.size()); }

bool WordEndsAt(std::string_view text, size_t at) { return at >= text.size() || !IsWord(text[at]); }

// A named form: MODULE+0xRVA, or the fault offset (its module empty here).
struct Found {
  size_t start = 0, end = 0;  // the text that was read
  uint64_t rva = 0;
  std::string_view module;
};

// Whether "0x" or "0X" stands at `at`.
bool HexPrefixAt(std::string_view text, size_t at) {
  return text.size() - at >= 2 && text[at] == '0' && Lower(text[at + 1]) == 'x';
}

// MODULE+0xRVA at the "+" at `plus`: the module's name holds a character
// that is neither a hexadecimal digit nor "-". The digits are looked at
// first: most "+" of a text have none after them.
std::optional<Found> ModuleRvaAt(std::string_view text, size_t plus) {
  if (!HexPrefixAt(text, plus + 1)) return std::nullopt;
  const size_t digits = plus + 3, end = HexEnd(text, digits);
  if (end == digits || end - digits > 16 || !WordEndsAt(text, end)) return std::nullopt;
  const size_t nameStart = report_bytes::ModuleNameStart(text.data(), plus);
  if (report_bytes::HexOrDashStart(text.data(), plus) == nameStart) return std::nullopt;
  return Found{nameStart, end, HexValue(text, digits, end), text.substr(nameStart, plus - nameStart)};
}

// "Fault offset: 0xRVA" at `at`.
std::optional<Found> FaultOffsetAt(std::string_view text, size_t at) {
  if (!LabelAt(text, at, kFaultOffset) || (at > 0 && IsWord(text[at - 1]))) return std::nullopt;
  size_t digits = at + kFaultOffset.size;
  while (digits < text.size() && (text[digits] == ' ' || text[digits] == '\t')) ++digits;
  if (!HexPrefixAt(text, digits)) return std::nullopt;
  digits += 2;
  const size_t end = HexEnd(text, digits);
  if (end == digits || end - digits > 16 || !WordEndsAt(text, end)) return std::nullopt;
  return Found{at, end, HexValue(text, digits, end), {}};
}

// The longest module file name a report can hold (MAX_PATH).
constexpr size_t kMaxModuleName = 260;

// The text after `label` up to the next comma, quote or line end, trimmed;
// nothing when that runs past the longest module name (a label in a long
// line would otherwise take all the line after it, and each further label
// in the line its own copy of the rest).
std::string_view NameAfter(std::string_view text, size_t from, std::string_view stops) {
  while (from < text.size() && (text[from] == ' ' || text[from] == '\t')) ++from;
  // The first stop among the characters a name can take and the one after.
  const std::string_view window = text.substr(std::min(from, text.size()), kMaxModuleName + 1);
  size_t length = window.size();
  for (char stop : stops) length = std::min(length, window.find(stop));
  if (length > kMaxModuleName) return {};
  std::string_view name = window.substr(0, length);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
  return name;
}

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
  const bool mark = bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xFE;
  // Without its mark, UTF-16 LE shows in its first character: a byte, then NUL.
  const bool unmarked = bytes.size() >= 2 && bytes[0] != 0 && bytes[1] == 0;
  if (mark || unmarked) {
    std::string text;
    text.reserve(bytes.size() / 2);
    for (size_t i = mark ? 2 : 0; i + 1 < bytes.size(); i += 2) {
      if (bytes[i] == 0 && bytes[i + 1] == 0) break;
      text += bytes[i + 1] == 0 ? bytes[i] : '?';
    }
    return text;
  }
  return std::string(bytes.substr(0, bytes.find('\0')));
}

namespace {

// ScanCrashReport, with where each address's text starts (starts: null for none).
std::vector<AddressRef> Scan(std::string_view report, std::vector<size_t>* starts) {
  // The named forms first; their digits are not read again below.
  // A fault offset belongs to the module named by the event's "Faulting
  // module name:" before it.
  std::vector<Found> named;
  std::string_view faultingModule;
  const char* const text = report.data();
  for (size_t i = report_bytes::NextNamedStart(text, report.size(), 0, false); i < report.size();
       i = report_bytes::NextNamedStart(text, report.size(), i + 1, false)) {
    const bool f = Lower(report[i]) == 'f';
    if (f && LabelAt(report, i, kFaultingModule))
      faultingModule = NameAfter(report, i + kFaultingModule.size, ",\r\n");
    std::optional<Found> found;
    if (report[i] == '+') {
      found = ModuleRvaAt(report, i);
    } else if (f) {
      found = FaultOffsetAt(report, i);
    }
    if (!found) continue;
    if (found->module.empty()) found->module = faultingModule;
    i = found->end - 1;
    named.push_back(*found);
  }
  std::vector<AddressRef> addresses;
  auto next = named.begin();
  for (size_t i = 0; i < report.size();) {
    if (next != named.end() && i >= next->start) {
      addresses.push_back(AddressRef{next->rva, true, std::string(next->module)});
      if (starts) starts->push_back(next->start);
      i = next->end;
      ++next;
      continue;
    }
    // Only the runs that may be addresses are looked at: those skipped
    // follow a word character or are shorter than eight digits (i never
    // stands within a run: after a run it stands on a byte that is no digit,
    // after a named form on one that is no word character). Runs stop at
    // the next named form.
    const size_t limit = next != named.end() ? next->start : report.size();
    const size_t start = report_bytes::NextAddressStart(text, report.size(), i, limit);
    const size_t end = report_bytes::HexRunEnd(text, report.size(), start, limit);
    i = end;
    const size_t length = end - start;
    if (length != 8 && length != 16) continue;
    if (!WordEndsAt(report, end)) continue;
    const bool freeStart = start == 0 || !IsWord(report[start - 1]);
    const bool prefixed = start >= 2 && report[start - 2] == '0' && Lower(report[start - 1]) == 'x' &&
                          (start == 2 || !IsWord(report[start - 3]));
    if (freeStart || prefixed) {
      addresses.push_back(AddressRef{HexValue(report, start, end), false, {}});
      if (starts) starts->push_back(start);
    }
  }
  return addresses;
}

bool IsClassNameByte(char c) { return IsWord(c) || c == '.'; }

// "Exception CLASS in module MODULE at HEX." at `at`, and its message.
std::optional<RuntimeMessage> ExceptionTextAt(std::string_view text, size_t at) {
  size_t i = at + std::string_view("Exception ").size(), nameStart = i;
  while (i < text.size() && IsClassNameByte(text[i])) ++i;
  constexpr std::string_view kIn = " in module ", kAt = " at ";
  if (i == nameStart || i - nameStart > 255 || text.compare(i, kIn.size(), kIn) != 0) return std::nullopt;
  RuntimeMessage m;
  m.className = std::string(text.substr(nameStart, i - nameStart));
  i += kIn.size();
  const size_t moduleEnd = text.find(kAt, i);
  if (moduleEnd == std::string_view::npos || moduleEnd == i || moduleEnd - i > kMaxModuleName) return std::nullopt;
  const std::string_view module = text.substr(i, moduleEnd - i);
  if (module.find_first_of("\r\n") != std::string_view::npos) return std::nullopt;
  i = moduleEnd + kAt.size();
  if (i < text.size() && text[i] == '$') ++i;
  const size_t end = HexEnd(text, i);
  if (end == i || end - i > 16 || end >= text.size() || text[end] != '.') return std::nullopt;
  m.address = AddressRef{HexValue(text, i, end), true, std::string(module)};
  // The message: the rest of the line, else the next line.
  size_t from = end + 1, lineEnd = text.find_first_of("\r\n", from);
  if (lineEnd == std::string_view::npos) lineEnd = text.size();
  std::string_view message = text.substr(from, lineEnd - from);
  const auto trim = [](std::string_view v) {
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
    return v;
  };
  message = trim(message);
  size_t last = lineEnd;
  if (message.empty() && lineEnd < text.size()) {
    from = lineEnd + (text.compare(lineEnd, 2, "\r\n") == 0 ? 2 : 1);
    size_t next = text.find_first_of("\r\n", from);
    if (next == std::string_view::npos) next = text.size();
    message = trim(text.substr(from, next - from));
    if (message.compare(0, 10, "Exception ") == 0 || message.compare(0, 17, "Access violation ") == 0) {
      message = {};
    } else if (!message.empty()) {
      last = next;
    }
  }
  m.message = std::string(message.substr(0, 4096));
  m.start = at;
  m.end = message.empty() ? end + 1 : last;
  return m;
}

// "Access violation at address HEX in module 'MODULE'. Read of address HEX" at `at`.
std::optional<RuntimeMessage> AccessViolationTextAt(std::string_view text, size_t at) {
  size_t i = at + std::string_view("Access violation at address ").size();
  if (i < text.size() && text[i] == '$') ++i;
  const size_t end = HexEnd(text, i);
  constexpr std::string_view kIn = " in module '";
  if (end == i || end - i > 16 || text.compare(end, kIn.size(), kIn) != 0) return std::nullopt;
  const uint64_t address = HexValue(text, i, end);
  const size_t moduleStart = end + kIn.size(), moduleEnd = text.find('\'', moduleStart);
  if (moduleEnd == std::string_view::npos || moduleEnd == moduleStart || moduleEnd - moduleStart > kMaxModuleName)
    return std::nullopt;
  const std::string_view module = text.substr(moduleStart, moduleEnd - moduleStart);
  if (module.find_first_of("\r\n") != std::string_view::npos) return std::nullopt;
  size_t j = moduleEnd + 1;
  if (text.compare(j, 2, ". ") != 0) return std::nullopt;
  j += 2;
  const size_t what = j;
  for (const std::string_view kind : {std::string_view("Read of address "), std::string_view("Write of address ")})
    if (text.compare(j, kind.size(), kind) == 0) j += kind.size();
  if (j == what) return std::nullopt;
  if (j < text.size() && text[j] == '$') ++j;
  const size_t dataEnd = HexEnd(text, j);
  if (dataEnd == j || dataEnd - j > 16) return std::nullopt;
  RuntimeMessage m;
  m.address = AddressRef{address, false, std::string(module)};
  m.kind = RuntimeMessage::Kind::AccessViolation;
  m.className = "EAccessViolation";
  m.message = std::string(text.substr(what, dataEnd - what));
  m.start = at;
  m.end = dataEnd;
  return m;
}

}  // namespace

std::vector<AddressRef> ScanCrashReport(std::string_view report) { return Scan(report, nullptr); }

std::vector<RuntimeMessage> DelphiRuntimeMessages(std::string_view report) {
  std::vector<RuntimeMessage> messages;
  constexpr std::string_view kException = "Exception ", kViolation = "Access violation at address ";
  size_t e = report.find(kException), v = report.find(kViolation);
  while (e != std::string_view::npos || v != std::string_view::npos) {
    const bool exception = v == std::string_view::npos || (e != std::string_view::npos && e < v);
    const size_t at = exception ? e : v;
    std::optional<RuntimeMessage> m;
    if (at == 0 || !IsWord(report[at - 1])) m = exception ? ExceptionTextAt(report, at) : AccessViolationTextAt(report, at);
    const size_t from = m ? m->end : at + 1;
    if (m) messages.push_back(std::move(*m));
    if (e != std::string_view::npos && e < from) e = report.find(kException, from);
    if (v != std::string_view::npos && v < from) v = report.find(kViolation, from);
  }
  return messages;
}

std::vector<ReportAddress> ScanReport(std::string_view report, const std::vector<RuntimeMessage>& messages) {
  std::vector<size_t> starts;
  const std::vector<AddressRef> refs = Scan(report, &starts);
  std::vector<ReportAddress> addresses;
  size_t m = 0;
  for (size_t i = 0; i <= refs.size(); ++i) {
    const size_t at = i < refs.size() ? starts[i] : report.size();
    for (; m < messages.size() && messages[m].start <= at; ++m) addresses.push_back(ReportAddress{messages[m].address, m});
    if (i == refs.size()) break;
    if (m > 0 && at < messages[m - 1].end) continue;  // a run of digits of a text read above
    addresses.push_back(ReportAddress{refs[i], std::nullopt});
  }
  return addresses;
}

std::vector<std::string> ModulesInReport(std::string_view report) {
  std::vector<std::string> modules;
  std::unordered_set<std::string> known;  // the names in lower case
  std::string key;                        // kept: a name seen before costs no allocation
  std::string_view last;                  // the name added last, as written
  auto add = [report, &modules, &known, &key, &last](std::string_view name) {
    if (name.empty() || name == last) return;
    last = name;
    report_bytes::LowerLettersInto(report.data(), report.size(), size_t(name.data() - report.data()), name.size(), key);
    if (known.count(key) != 0) return;
    known.insert(key);
    modules.emplace_back(name);
  };
  const char* const text = report.data();
  for (size_t i = report_bytes::NextNamedStart(text, report.size(), 0, true); i < report.size();
       i = report_bytes::NextNamedStart(text, report.size(), i + 1, true)) {
    const char c = Lower(report[i]);
    if (c == '+') {
      if (const auto found = ModuleRvaAt(report, i)) add(found->module);
    } else if (c == 'i' && LabelAt(report, i, kInModule)) {
      add(NameAfter(report, i + kInModule.size, "'\r\n"));
    } else if (c != 'f') {
      continue;
    } else if (LabelAt(report, i, kFaultingApplication)) {
      add(NameAfter(report, i + kFaultingApplication.size, ",\r\n"));
    } else if (LabelAt(report, i, kFaultingModule)) {
      add(NameAfter(report, i + kFaultingModule.size, ",\r\n"));
    }
  }
  return modules;
}

}  // namespace qf
