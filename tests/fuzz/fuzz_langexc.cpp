// libFuzzer target for the reader of language exceptions: any bytes are the
// memory of a process (from 0x10000, x86 or AMD64 by the first byte) that
// holds the object a Delphi, C++Builder or Free Pascal exception names (the
// first byte picks the kind, the next four the object's offset). A class
// read is a name of 1 to 255 name bytes that stands in the input; parents
// are at most 64; nothing is read outside the input.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "FuzzCheck.h"
#include "crash/LanguageException.h"

namespace {

constexpr uint64_t kBase = 0x10000;

void CheckName(const std::string& name, std::string_view input) {
  QF_CHECK(!name.empty() && name.size() <= 255);
  QF_CHECK(qf::fuzz::Contains(input, name));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const uint32_t object = uint32_t(data[1]) | uint32_t(data[2]) << 8 | uint32_t(data[3]) << 16 | uint32_t(data[4]) << 24;
  qf::Minidump dump;
  dump.processor = (data[0] & 1) ? qf::Minidump::Processor::Amd64 : qf::Minidump::Processor::X86;
  dump.file = std::make_shared<qf::MinidumpFile>(std::make_unique<qf::MemoryRandomAccessReader>(input));
  dump.memory.push_back(qf::MinidumpMemory{kBase, size - 5, 5});
  qf::MinidumpException exception;
  static const uint32_t kCodes[] = {0x0EEDFADE, 0x0EEDFADE, 0x0EEFFACE, 0xE0465043};
  const unsigned kind = (data[0] >> 1) & 3;
  exception.code = kCodes[kind];
  const size_t count = kind == 0 ? 7 : kind == 1 ? 8 : kind == 2 ? 3 : 5;
  exception.parameters.assign(count, 0);
  exception.parameters[0] = kind == 2 ? kBase + object : 0x401000;
  exception.parameters[1] = kind == 2 ? 0x401000 : kBase + object;
  exception.parameters[count - 1] = kBase;
  dump.exception = exception;
  const qf::ProcessMemory memory(dump, nullptr);
  const std::optional<qf::LanguageException> e = qf::ReadLanguageException(dump, memory);
  QF_CHECK(e);
  if (e->className) {
    if (kind == 2) {
      QF_CHECK(qf::fuzz::Contains(input, *e->className));
    } else {
      CheckName(*e->className, input);
    }
  } else {
    QF_CHECK(!e->whyNoClass.empty() && !e->message);
  }
  QF_CHECK(e->parents.size() <= 64);
  for (const std::string& parent : e->parents)
    if (parent != "?") CheckName(parent, input);
  if (e->message) QF_CHECK(e->message->size() <= 4 * 64 * 1024);
  return 0;
}
