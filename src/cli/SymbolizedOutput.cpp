// How quillfen-cli writes a symbolized address: the plain line and the JSON
// Lines object.
#include "SymbolizedOutput.h"

#include <ostream>

namespace qf::cli {

std::string Hex(uint64_t value, int width) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  do {
    text.insert(text.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  if (int(text.size()) < width) text.insert(0, width - text.size(), '0');
  return text;
}

// "0x" and 8 digits, 16 when the address needs more.
std::string AddressText(uint64_t address) { return "0x" + Hex(address, address > 0xFFFFFFFFu ? 16 : 8); }

// A JSON string of bytes read as Latin-1.
void JsonString(std::ostream& out, std::string_view bytes) {
  out << '"';
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out << '\\' << c;
    } else if (byte >= 0x80) {
      out << char(0xC0 | byte >> 6) << char(0x80 | (byte & 0x3F));
    } else if (byte >= 0x20) {
      out << c;
    } else if (c == '\n') {
      out << "\\n";
    } else if (c == '\r') {
      out << "\\r";
    } else if (c == '\t') {
      out << "\\t";
    } else {
      out << "\\u00" << Hex(byte, 2);
    }
  }
  out << '"';
}

void JsonField(std::ostream& out, const char* key, const std::optional<std::string_view>& value) {
  out << ",\"" << key << "\":";
  if (value) {
    JsonString(out, *value);
  } else {
    out << "null";
  }
}

void PrintSymbolText(std::ostream& out, const Symbolized& s) {
  if (s.function) {
    out << *s.function << "+0x" << Hex(s.functionOffset, 1);
  } else {
    out << "??";
  }
  out << " (" << (s.unit ? *s.unit : std::string_view("??")) << ") ";
  if (s.file && s.line) {
    out << *s.file << ':' << *s.line;
  } else {
    out << "??";
  }
}

void PrintAfterAddress(std::ostream& out, const Symbolized& s) {
  if (s.inCode) {
    PrintSymbolText(out, s);
  } else {
    out << "(not in code)";
  }
}

void PrintPlainLine(std::ostream& out, uint64_t shown, const Symbolized& s) {
  out << AddressText(shown) << ' ';
  PrintAfterAddress(out, s);
  out << '\n';
}

void PrintJsonLine(std::ostream& out, uint64_t shown, const Symbolized& s) {
  out << "{\"address\":\"" << AddressText(shown) << '"';
  PrintJsonSymbolFields(out, s);
  out << "}\n";
}

void PrintJsonSymbolFields(std::ostream& out, const Symbolized& s) {
  JsonField(out, "segment", s.inCode ? std::optional<std::string_view>(s.segment) : std::nullopt);
  JsonField(out, "unit", s.unit);
  JsonField(out, "function", s.function);
  out << ",\"function_offset\":";
  if (s.function) {
    out << s.functionOffset;
  } else {
    out << "null";
  }
  JsonField(out, "file", s.line ? s.file : std::nullopt);
  out << ",\"line\":";
  if (s.file && s.line) {
    out << *s.line;
  } else {
    out << "null";
  }
}

}  // namespace qf::cli
