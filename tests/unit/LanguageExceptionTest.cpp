// The class, parents and message of a language exception's object in each
// layout (tests/data/langexc, written by tests/fuzz/langexc_seeds.py), and
// damaged copies of them.
#include "crash/LanguageException.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>

namespace qf {
namespace {

// The object as fuzz_langexc reads it: a byte for bitness and kind, the
// object's offset, the memory from 0x10000.
std::string Read(const std::string& input) {
  constexpr uint64_t kBase = 0x10000;
  Minidump dump;
  dump.processor = (input[0] & 1) ? Minidump::Processor::Amd64 : Minidump::Processor::X86;
  dump.file = std::make_shared<MinidumpFile>(std::make_unique<MemoryRandomAccessReader>(std::string_view(input)));
  dump.memory.push_back(MinidumpMemory{kBase, input.size() - 5, 5});
  const unsigned kind = (input[0] >> 1) & 3;
  uint32_t object = 0;
  for (int i = 4; i >= 1; --i) object = object << 8 | static_cast<unsigned char>(input[size_t(i)]);
  MinidumpException x;
  x.code = kind == 2 ? 0x0EEFFACE : kind == 3 ? 0xE0465043 : 0x0EEDFADE;
  x.parameters = kind == 2 ? std::vector<uint64_t>{kBase + object, 0x401000, 0}
                           : std::vector<uint64_t>{0x401000, kBase + object, 0, 0, 0, 0, 0};
  dump.exception = x;
  const auto e = ReadLanguageException(dump, ProcessMemory(dump, nullptr));
  if (!e) return "none";
  std::string text = std::string(e->KindName()) + " " + (e->className ? *e->className : "? " + e->whyNoClass);
  if (!e->layout.empty()) text += " [" + e->layout + "]";
  for (const std::string& parent : e->parents) text += " < " + parent;
  if (e->message) text += " '" + *e->message + "'";
  if (!e->message && !e->whyNoMessage.empty()) text += " (" + e->whyNoMessage + ")";
  return text;
}

}  // namespace

TEST(LanguageException, EveryLayoutAndDamage) {
  struct Case {
    const char* file;
    size_t at;  // the memory offset changed (0: none)
    char to;
    const char* want;
  } const cases[] = {
      {"delphi2009-win32", 0, 0,
       "delphi EConvertError [Delphi 2009 or later] < Exception ''abc' is not a valid integer value'"},
      {"delphi2007-win32", 0, 0,
       "delphi EConvertError [Delphi 2007 or earlier] < Exception ''abc' is not a valid integer value'"},
      {"xe5-win64", 0, 0,
       "delphi EConvertError [Delphi XE5 or later (Win64)] < Exception ''abc' is not a valid integer value'"},
      {"xe2-win64", 0, 0,
       "delphi EConvertError [Delphi XE2 to XE4 (Win64)] < Exception ''abc' is not a valid integer value'"},
      {"fpc-win32", 0, 0, "fpc EConvertError [Free Pascal] < Exception '\"abc\" is an invalid integer'"},
      {"cppbuilder-win32", 0, 0, "cpp std::runtime_error"},
      // The self pointer does not point back; a name with a control byte.
      {"delphi2009-win32", 0x400 - 88, 1, "delphi ? no class table at the object's first word"},
      {"delphi2009-win32", 0x101, 1, "delphi ? no class table at the object's first word"},
      {"fpc-win32", 0x200, 13, "fpc ? no class table at the object's first word"},
      // The object's table points outside the memory.
      {"delphi2009-win32", 0xE03, 0x70, "delphi ? neither the dump nor an image of the module holds the class table"},
      // A parent's cell broken: no message read.
      {"delphi2009-win32", 0xD00, 1,
       "delphi EConvertError [Delphi 2009 or later] < ? (the class's parents could not be read)"},
      // The message's element size, terminator, length.
      {"delphi2009-win32", 0xF00 - 10, 3, "delphi EConvertError [Delphi 2009 or later] < Exception (the message's string is damaged)"},
      {"delphi2009-win32", 0xF00 + 68, 'x', "delphi EConvertError [Delphi 2009 or later] < Exception (the message's string is damaged)"},
      {"delphi2007-win32", 0xF00 - 2, 0x70, "delphi EConvertError [Delphi 2007 or earlier] < Exception (the message's string is damaged)"},
      {"delphi2007-win32", 0xE07, 0x70, "delphi EConvertError [Delphi 2007 or earlier] < Exception (the dump does not hold the message)"},
      {"cppbuilder-win32", 0x12, 7, "cpp ? the thrown type's name is damaged"},
  };
  for (const Case& c : cases) {
    std::ifstream file(std::string(QF_TESTDATA_DIR) + "/langexc/" + c.file + ".mem", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 5u) << c.file;
    if (c.at) bytes[5 + c.at] = c.to;
    EXPECT_EQ(Read(bytes), c.want) << c.file << " at " << c.at;
  }
}

}  // namespace qf
