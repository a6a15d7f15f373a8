// Text and number rules shared by the line table, the store and the windows.
// All text is single-byte (the system's ANSI code page); nothing here decodes
// Unicode or applies locale rules.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qf {

// String-to-integer with a default: optional leading blanks (code 32 only),
// one optional sign, then decimal digits or a hexadecimal form ("$", "x", "X",
// "0x", "0X" and at most eight significant digits, read as a 32-bit pattern).
// Anything else, including a trailing blank, gives the default. The text ends
// at its first NUL.
int32_t StrToIntDef(std::string_view text, int32_t defaultValue);

// The same conversion applied to "0x" followed by the digits: the value of a
// run of one to eight significant hexadecimal digits, else the default.
int32_t HexDigitsToIntDef(std::string_view digits, int32_t defaultValue);

// Removes every character of code 0 to 32 from both ends.
std::string_view TrimView(std::string_view text);
std::string Trim(std::string_view text);

// 1-based position of the first occurrence of needle in text (bytes compared
// exactly); 0 when absent or when either is empty.
std::size_t Pos(std::string_view needle, std::string_view text);

// Substring from a 1-based start: a start below 1 counts as 1 (the count is not
// shortened for it); past the end, or a count of 0 or less, gives "".
std::string Copy(std::string_view text, long long start, long long count);

// Equality that folds only A-Z against a-z; texts of different length differ.
bool SameText(std::string_view a, std::string_view b);

// Changes only A-Z to a-z.
std::string LowerCase(std::string_view text);

// Value of a byte as a hexadecimal digit (0-9, a-f, A-F), -1 for any other.
struct HexDigitTable {
  int8_t value[256];
  constexpr HexDigitTable() : value() {
    for (int i = 0; i < 256; ++i) value[i] = -1;
    for (int i = 0; i < 10; ++i) value['0' + i] = static_cast<int8_t>(i);
    for (int i = 0; i < 6; ++i) {
      value['a' + i] = static_cast<int8_t>(10 + i);
      value['A' + i] = static_cast<int8_t>(10 + i);
    }
  }
};
inline constexpr HexDigitTable kHexDigits{};
inline int HexDigitValue(char c) { return kHexDigits.value[static_cast<unsigned char>(c)]; }

// Splits off the next word of text: a run of characters above code 32, after
// any characters of code 32 or below.
std::string_view NextWord(std::string_view& text);

// The value of one to sixteen hexadecimal digits (nothing else); false for
// any other text, value then unchanged.
bool ReadHex(std::string_view digits, uint64_t& value);

inline bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace qf
