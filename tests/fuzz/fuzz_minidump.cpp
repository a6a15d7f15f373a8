// libFuzzer target for the minidump reader and the stack walk: any bytes are
// either refused with MinidumpError or read; a read dump's memory blocks lie
// inside the input, and every walk starts with its context frame, holds no
// more frames than its stack has words (plus the first), and never reads
// outside the input. So does the walk of the 32-bit view of a WOW64 dump,
// whose threads' stacks lie inside the input too and whose modules are the
// dump's below 4 GB.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzCheck.h"
#include "crash/MinidumpReader.h"
#include "crash/StackWalk.h"
#include "crash/Wow64View.h"

namespace {

bool Inside(const qf::MinidumpMemory& block, std::size_t size) {
  return block.size == 0 || (block.offset <= size && block.size <= size - block.offset);
}

void CheckWalks(const qf::Minidump& dump, std::size_t size) {
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
  CheckWalks(dump, size);
  if (qf::IsWow64Dump(dump)) {
    const qf::Wow64View view = qf::ReadWow64View(dump);
    QF_CHECK(view.whyNot.size() == dump.threads.size() && view.moduleOf.size() == view.dump.modules.size());
    for (const qf::MinidumpModule& module : view.dump.modules) QF_CHECK(module.base + module.size <= (uint64_t(1) << 32));
    for (const qf::MinidumpThread& thread : view.dump.threads) QF_CHECK(Inside(thread.stack, size));
    CheckWalks(view.dump, size);
  }
  return 0;
}
