// How quillfen-cli writes a symbolized address: the plain line and the JSON
// Lines object, appended to a text that is written out in large pieces.
#include "SymbolizedOutput.h"

#include <ostream>

#include "base/NumberText.h"
#include "names/Demangle.h"

namespace qf::cli {
namespace {

void AppendAddress(std::string& out, uint64_t address) {
  out += "0x";
  AppendHex(out, address, address > 0xFFFFFFFFu ? 16 : 8);
}

// Well-formed UTF-8: no overlong form, no surrogate, nothing above U+10FFFF.
bool IsUtf8(std::string_view bytes) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (b < 0x80) {
      ++i;
      continue;
    }
    int more;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      more = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      more = 2;
      if (b == 0xE0) low = 0xA0;
      if (b == 0xED) high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      more = 3;
      if (b == 0xF0) low = 0x90;
      if (b == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (n - i <= static_cast<std::size_t>(more)) return false;
    for (int k = 1; k <= more; ++k) {
      const auto c = static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(k)]);
      if (k == 1 ? (c < low || c > high) : (c < 0x80 || c > 0xBF)) return false;
    }
    i += static_cast<std::size_t>(more) + 1;
  }
  return true;
}

}  // namespace

std::string Hex(uint64_t value, int width) { return HexText(value, width); }

// "0x" and 8 digits, 16 when the address needs more.
std::string AddressText(uint64_t address) {
  std::string text;
  AppendAddress(text, address);
  return text;
}

void AppendJsonString(std::string& out, std::string_view bytes) {
  const bool utf8 = IsUtf8(bytes);
  out += '"';
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte >= 0x80) {
      if (utf8) {
        out += c;
      } else {
        out += char(0xC0 | byte >> 6);
        out += char(0x80 | (byte & 0x3F));
      }
    } else if (byte >= 0x20) {
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += "\\u00";
      AppendHex(out, byte, 2);
    }
  }
  out += '"';
}

void JsonString(std::ostream& out, std::string_view bytes) {
  std::string text;
  AppendJsonString(text, bytes);
  out << text;
}

namespace {

void AppendJsonField(std::string& out, const char* key, const std::optional<std::string_view>& value) {
  out += ",\"";
  out += key;
  out += "\":";
  if (value) {
    AppendJsonString(out, *value);
  } else {
    out += "null";
  }
}

}  // namespace

void JsonField(std::ostream& out, const char* key, const std::optional<std::string_view>& value) {
  std::string text;
  AppendJsonField(text, key, value);
  out << text;
}

std::string_view ShownFunction(std::string_view linkerName, FunctionNames names, std::string& storage) {
  if (names == FunctionNames::Linker || !LooksMangled(linkerName)) return linkerName;
  storage = DemangleName(linkerName, names == FunctionNames::Short ? DemangleStyle::Short : DemangleStyle::Full);
  return storage;
}

void AppendSymbolText(std::string& out, const Symbolized& s, FunctionNames names) {
  if (s.function) {
    std::string readable;
    out += ShownFunction(*s.function, names, readable);
    out += "+0x";
    AppendHex(out, s.functionOffset, 1);
  } else {
    out += "??";
  }
  out += " (";
  out += s.unit ? *s.unit : std::string_view("??");
  out += ") ";
  if (s.file && s.line) {
    out += *s.file;
    out += ':';
    AppendDecimal(out, *s.line);
  } else {
    out += "??";
  }
}

void AppendAfterAddress(std::string& out, const Symbolized& s, FunctionNames names) {
  if (s.inCode) {
    AppendSymbolText(out, s, names);
  } else {
    out += "(not in code)";
  }
}

void PrintAfterAddress(std::ostream& out, const Symbolized& s, FunctionNames names) {
  std::string text;
  AppendAfterAddress(text, s, names);
  out << text;
}

void AppendPlainLine(std::string& out, uint64_t shown, const Symbolized& s, FunctionNames names) {
  AppendAddress(out, shown);
  out += ' ';
  AppendAfterAddress(out, s, names);
  out += '\n';
}

void AppendJsonSymbolFields(std::string& out, const Symbolized& s, FunctionNames names) {
  AppendJsonField(out, "segment", s.inCode ? std::optional<std::string_view>(s.segment) : std::nullopt);
  AppendJsonField(out, "unit", s.unit);
  std::string readable;
  const std::optional<std::string_view> shown =
      s.function ? std::optional<std::string_view>(ShownFunction(*s.function, names, readable)) : std::nullopt;
  AppendJsonField(out, "function", shown);
  if (shown && *shown != *s.function) AppendJsonField(out, "linkage_name", s.function);
  out += ",\"function_offset\":";
  if (s.function) {
    AppendDecimal(out, s.functionOffset);
  } else {
    out += "null";
  }
  AppendJsonField(out, "file", s.line ? s.file : std::nullopt);
  out += ",\"line\":";
  if (s.file && s.line) {
    AppendDecimal(out, *s.line);
  } else {
    out += "null";
  }
}

void PrintJsonSymbolFields(std::ostream& out, const Symbolized& s, FunctionNames names) {
  std::string text;
  AppendJsonSymbolFields(text, s, names);
  out << text;
}

void AppendJsonLine(std::string& out, uint64_t shown, const Symbolized& s, FunctionNames names) {
  out += "{\"address\":\"";
  AppendAddress(out, shown);
  out += '"';
  AppendJsonSymbolFields(out, s, names);
  out += "}\n";
}

}  // namespace qf::cli
