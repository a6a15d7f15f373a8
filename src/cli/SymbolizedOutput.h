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

// How a function is named: by the linker's name, by its readable name
// (DemangleName: "__fastcall TForm1::Button11Click(System::TObject *)"), or by
// the qualified name alone ("TForm1::Button11Click").
enum class FunctionNames { Linker, Full, Short };
// The function's name as shown; a readable one is made in storage.
std::string_view ShownFunction(std::string_view linkerName, FunctionNames names, std::string& storage);

// "FUNCTION+0xN (UNIT) FILE:LINE", "??" for each part unknown: what follows
// the address on a plain line.
void AppendSymbolText(std::string& out, const Symbolized& s, FunctionNames names);
// AppendSymbolText for an address in code, else "(not in code)": what
// symbolize prints after the address.
void PrintAfterAddress(std::ostream& out, const Symbolized& s, FunctionNames names);
void AppendAfterAddress(std::string& out, const Symbolized& s, FunctionNames names);
// The fields of AppendJsonLine after "address", each after a comma:
// "segment":...,"unit":...,"function":...,["linkage_name":...,]"function_offset":...,"file":...,"line":...
// where "function" is the name shown and "linkage_name", present only when
// the two differ, the linker's.
void PrintJsonSymbolFields(std::ostream& out, const Symbolized& s, FunctionNames names);
void AppendJsonSymbolFields(std::string& out, const Symbolized& s, FunctionNames names);
// "ADDRESS FUNCTION+0xN (UNIT) FILE:LINE" ("??" where unknown) or
// "ADDRESS (not in code)", and the line end.
void AppendPlainLine(std::string& out, uint64_t shown, const Symbolized& s, FunctionNames names);
// {"address":...,"segment":...,"unit":...,"function":...,["linkage_name":...,]"function_offset":...,"file":...,"line":...}
void AppendJsonLine(std::string& out, uint64_t shown, const Symbolized& s, FunctionNames names);

}  // namespace qf::cli
