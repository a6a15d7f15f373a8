// Numbers appended to a text without the stream machinery: hexadecimal digits
// (upper or lower case, at least width of them) and decimal ones: the one hex
// formatter of the program's texts, fast enough where many lines are written.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qf {

enum class HexCase { Upper, Lower };

inline void AppendHex(std::string& out, uint64_t value, int width = 1, HexCase letters = HexCase::Upper) {
  const char* digits = letters == HexCase::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char text[16];
  int n = 0;
  do {
    text[15 - n++] = digits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  if (n < width) out.append(static_cast<std::size_t>(width - n), '0');
  out.append(text + 16 - n, static_cast<std::size_t>(n));
}

// The hexadecimal digits of value as a text of its own (no prefix).
inline std::string HexText(uint64_t value, int width = 1, HexCase letters = HexCase::Upper) {
  std::string text;
  AppendHex(text, value, width, letters);
  return text;
}

template <typename T>
void AppendDecimal(std::string& out, T value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, static_cast<std::size_t>(end - digits));
}

}  // namespace qf
