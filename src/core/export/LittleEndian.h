// Little-endian bytes appended to a string: the one writer of the program
// database's streams, its hash tables and the MSF container around them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qf {

class LeWriter {
 public:
  explicit LeWriter(std::string& out) : out_(out) {}

  // Room for at least `bytes` more at once, made of zeros at the string's
  // end for the writes that follow to fill in place (a block of many small
  // fields: one growth, not one per field). Nothing else may append to the
  // string until they have filled it.
  LeWriter& Room(std::size_t bytes) {
    if (room_ < bytes) {
      out_.resize(out_.size() + (bytes - room_));
      room_ = bytes;
    }
    return *this;
  }

  LeWriter& U8(uint8_t v) {
    *Next(1) = static_cast<char>(v);
    return *this;
  }
  LeWriter& U16(uint16_t v) {
    char* at = Next(2);
    at[0] = static_cast<char>(v & 0xFF);
    at[1] = static_cast<char>(v >> 8);
    return *this;
  }
  LeWriter& U32(uint32_t v) {
    char* at = Next(4);
    at[0] = static_cast<char>(v & 0xFF);
    at[1] = static_cast<char>(v >> 8 & 0xFF);
    at[2] = static_cast<char>(v >> 16 & 0xFF);
    at[3] = static_cast<char>(v >> 24);
    return *this;
  }
  // What fits goes into the room left, the rest is appended.
  LeWriter& Bytes(std::string_view bytes) {
    const std::size_t inRoom = std::min(room_, bytes.size());
    bytes.copy(Next(inRoom), inRoom);
    if (inRoom < bytes.size()) out_.append(bytes.substr(inRoom));
    return *this;
  }
  // The text and its terminating zero.
  LeWriter& CString(std::string_view text) { return Bytes(text).U8(0); }
  LeWriter& Zeros(std::size_t count) {
    const std::size_t inRoom = std::min(room_, count);
    room_ -= inRoom;  // the room is zeros
    if (inRoom < count) out_.append(count - inRoom, '\0');
    return *this;
  }
  // Zero bytes up to a multiple of 4 of the whole string.
  LeWriter& Align4() { return Zeros((4 - Size() % 4) % 4); }

  // The bytes written, the string's before the writer included.
  std::size_t Size() const { return out_.size() - room_; }

 private:
  // Where the next `bytes` go: in the room made, else appended.
  char* Next(std::size_t bytes) {
    Room(bytes);
    char* at = &out_[out_.size() - room_];
    room_ -= bytes;
    return at;
  }

  std::string& out_;
  std::size_t room_ = 0;  // bytes at the end of out_ made and not yet written
};

}  // namespace qf
