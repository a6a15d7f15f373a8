// The little-endian writer: the same bytes whether its fields are appended
// one by one or fill room made for them at once.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "export/LittleEndian.h"

namespace qf {
namespace {

TEST(LittleEndianTest, FieldsInRoomOrAppendedGiveTheSameBytes) {
  const struct {
    const char* what;
    std::function<void(LeWriter&)> write;
    std::string bytes;
  } cases[] = {
      {"integers", [](LeWriter& w) { w.U8(0x01).U16(0x0302).U32(0x07060504); }, std::string("\1\2\3\4\5\6\7", 7)},
      {"text, its zero, alignment", [](LeWriter& w) { w.CString("ab").Align4().U16(0xFFFF); },
       std::string("ab\0\xFF\xFF", 5)},
      {"zeros", [](LeWriter& w) { w.U8(9).Zeros(2).Bytes("z"); }, std::string("\x09\0\0z", 4)},
  };
  for (const auto& c : cases) {
    for (const std::size_t room : {0, 1, 3, 16}) {
      std::string out("<");
      LeWriter w(out);
      w.Room(room);
      c.write(w);
      EXPECT_EQ(out.substr(0, 1 + c.bytes.size()), "<" + c.bytes) << c.what << ", room " << room;
      EXPECT_EQ(w.Size(), 1 + c.bytes.size()) << c.what << ", room " << room;
    }
  }
}

}  // namespace
}  // namespace qf
