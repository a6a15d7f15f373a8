// Little-endian bytes appended to a string: the one writer of the program
// database's streams, its hash tables and the MSF container around them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qf {

class LeWriter {
 public:
  explicit LeWriter(std::string& out) : out_(out) {}

  LeWriter& U8(uint8_t v) {
    out_ += static_cast<char>(v);
    return *this;
  }
  LeWriter& U16(uint16_t v) {
    const char bytes[2] = {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
    out_.append(bytes, 2);
    return *this;
  }
  LeWriter& U32(uint32_t v) {
    const char bytes[4] = {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8 & 0xFF),
                           static_cast<char>(v >> 16 & 0xFF), static_cast<char>(v >> 24)};
    out_.append(bytes, 4);
    return *this;
  }
  LeWriter& Bytes(std::string_view bytes) {
    out_.append(bytes);
    return *this;
  }
  // The text and its terminating zero.
  LeWriter& CString(std::string_view text) {
    out_.append(text);
    out_ += '\0';
    return *this;
  }
  LeWriter& Zeros(std::size_t count) {
    out_.append(count, '\0');
    return *this;
  }
  // Zero bytes up to a multiple of 4 of the whole string.
  LeWriter& Align4() { return Zeros((4 - out_.size() % 4) % 4); }

  std::size_t Size() const { return out_.size(); }

 private:
  std::string& out_;
};

}  // namespace qf
