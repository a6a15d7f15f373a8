// How quillfen-cli writes a symbolized address: hexadecimal text, the plain
// line and the JSON Lines object of symbolize (shared by every command that
// names a function, unit and line).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "map/SymbolMap.h"

namespace qf::cli {

// value in upper-case hexadecimal digits, at least width of them.
std::string Hex(uint64_t value, int width);
// "0x" and 8 digits, 16 when the address needs more.
std::string AddressText(uint64_t address);
// A JSON string of the bytes: as they are when they are well-formed UTF-8,
// else each byte read as Latin-1.
void JsonString(std::ostream& out, std::string_view bytes);
void AppendJsonString(std::string& out, std::string_view bytes);
// ,"key":"value" or ,"key":null
void JsonField(std::ostream& out, const char* key, const std::optional<std::string_view>& value);

// "FUNCTION+0xN (UNIT) FILE:LINE", "??" for each part unknown: what follows
// the address on a plain line.
void AppendSymbolText(std::string& out, const Symbolized& s);
// AppendSymbolText for an address in code, else "(not in code)": what
// symbolize prints after the address.
void PrintAfterAddress(std::ostream& out, const Symbolized& s);
void AppendAfterAddress(std::string& out, const Symbolized& s);
// The fields of AppendJsonLine after "address", each after a comma:
// "segment":...,"unit":...,"function":...,"function_offset":...,"file":...,"line":...
void PrintJsonSymbolFields(std::ostream& out, const Symbolized& s);
void AppendJsonSymbolFields(std::string& out, const Symbolized& s);
// "ADDRESS FUNCTION+0xN (UNIT) FILE:LINE" ("??" where unknown) or
// "ADDRESS (not in code)", and the line end.
void AppendPlainLine(std::string& out, uint64_t shown, const Symbolized& s);
// {"address":...,"segment":...,"unit":...,"function":...,"function_offset":...,"file":...,"line":...}
void AppendJsonLine(std::string& out, uint64_t shown, const Symbolized& s);

}  // namespace qf::cli
