// libFuzzer target for the minidump reader and the stack walk: any bytes are
// either refused with MinidumpError or read; a read dump's memory blocks lie
// inside the input, and every walk starts with its context frame, holds no
// more frames than its stack has words (plus the first), and never reads
// outside the input.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzCheck.h"
#include "crash/MinidumpReader.h"
#include "crash/StackWalk.h"

namespace {

bool Inside(const qf::MinidumpMemory& block, std::size_t size) {
  return block.size == 0 || (block.offset <= size && block.size <= size - block.offset);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  qf::Minidump dump;
  try {
    dump = qf::ReadMinidump(bytes);
  } catch (const qf::MinidumpError&) {
    return 0;
  }
  for (const qf::MinidumpMemory& block : dump.memory) QF_CHECK(Inside(block, size));
  for (const qf::MinidumpThread& thread : dump.threads) QF_CHECK(Inside(thread.stack, size));
  qf::StackWalkOptions options;
  options.scan = size % 2 == 0;
  options.inCode = [&dump](uint64_t address) { return dump.ModuleAt(address) != nullptr; };
  for (const qf::ThreadFrames& walk : qf::WalkThreads(dump, options, true)) {
    if (walk.frames.empty()) continue;
    QF_CHECK(walk.frames.front().foundBy == qf::StackFrame::FoundBy::Context);
    std::size_t words = 0;  // of the largest stack of a thread with that id
    for (const qf::MinidumpThread& thread : dump.threads)
      if (thread.id == walk.threadId && thread.stack.size / dump.WordSize() > words)
        words = std::size_t(thread.stack.size / dump.WordSize());
    QF_CHECK(walk.frames.size() <= words + 1);
    for (std::size_t i = 2; i < walk.frames.size(); ++i) QF_CHECK(walk.frames[i - 1].slot < walk.frames[i].slot);
  }
  return 0;
}
