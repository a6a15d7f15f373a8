// The minidump reader on dumps written by MinidumpWriter.h (whole, cut at
// every byte, counts past the end) and the stack walk on small stacks.
#include <gtest/gtest.h>

#include <cstring>

#include "MinidumpWriter.h"
#include "crash/MinidumpReader.h"
#include "crash/StackWalk.h"

namespace qf {
namespace {

using test::DumpLayout;
using test::DumpShape;
using test::WriteMinidump;

// The words of a stack, little-endian, each `size` bytes.
std::string Words(const std::vector<uint64_t>& words, unsigned size) {
  std::string bytes(words.size() * size, '\0');
  for (size_t i = 0; i < words.size(); ++i) test::dump_detail::Put(bytes, uint32_t(i * size), words[i], size);
  return bytes;
}

// A program at 0x400000 that called into a library at 0x10000000, which
// crashed: the stack at `stackStart` holds one frame of each.
DumpShape CrashShape(bool is64) {
  const unsigned w = is64 ? 8 : 4;
  const uint64_t stackStart = is64 ? 0x14FE00 : 0x22FE00;
  DumpShape shape;
  shape.is64 = is64;
  shape.modules = {{0x400000, 0x10000, "C:\\app\\CrashApp.exe", std::array<uint16_t, 4>{1, 2, 3, 4}},
                   {0x10000000, 0x8000, "C:\\app\\CrashLib.dll", std::nullopt}};
  // [0] saved F -> [2w] ; [w] return into the program ; [2w] saved F 0 ; [3w] return into the library
  shape.threads = {{7, {0x77001000, stackStart, stackStart}, stackStart,
                    Words({stackStart + 2 * w, 0x401234, 0, 0x10001111}, w)},
                   {9, {0x77002000, 0, 0}, 0, "", 0}};
  shape.exception = DumpShape::Exception{7, 0xC0000005, 0x10001000, {1, 0x10}, {0x10001000, stackStart, stackStart}};
  shape.memory = {{0x500000, "abcd"}};
  shape.memory64 = {{0x600000, "0123456789"}};
  return shape;
}

TEST(Minidump, ReadsEveryStream) {
  for (const bool is64 : {false, true}) {
    SCOPED_TRACE(is64 ? "AMD64" : "x86");
    const std::string bytes = WriteMinidump(CrashShape(is64));
    const Minidump dump = ReadMinidump(bytes);
    EXPECT_EQ(dump.WordSize(), is64 ? 8u : 4u);
    ASSERT_EQ(dump.modules.size(), 2u);
    EXPECT_EQ(dump.modules[0].Name(), "CrashApp.exe");
    EXPECT_EQ(dump.modules[0].path, "C:\\app\\CrashApp.exe");
    EXPECT_EQ(dump.modules[0].version, std::optional<std::string>("1.2.3.4"));
    EXPECT_EQ(dump.modules[1].version, std::nullopt);
    EXPECT_EQ(dump.ModuleAt(0x10007FFF), &dump.modules[1]);
    EXPECT_EQ(dump.ModuleAt(0x10008000), nullptr);
    ASSERT_TRUE(dump.exception && dump.exception->registers);
    EXPECT_EQ(dump.exception->code, 0xC0000005u);
    EXPECT_EQ(dump.exception->address, 0x10001000u);
    EXPECT_EQ(dump.exception->parameters, (std::vector<uint64_t>{1, 0x10}));
    EXPECT_EQ(dump.exception->registers->ip, 0x10001000u);
    ASSERT_EQ(dump.threads.size(), 2u);
    EXPECT_EQ(dump.threads[0].stack.size, 4u * dump.WordSize());
    EXPECT_EQ(dump.threads[1].registers->ip, 0x77002000u);
    ASSERT_EQ(dump.memory.size(), 2u);
    EXPECT_EQ(dump.Bytes(dump.memory[1]), "0123456789");
    EXPECT_EQ(ExceptionCodeName(0xC0000005), std::optional<std::string_view>("access violation"));
    EXPECT_EQ(ExceptionCodeName(0xE0000001), std::nullopt);
  }
}

TEST(Minidump, StackHeldInTheMemoryLists) {
  DumpShape shape = CrashShape(true);
  shape.threads[0].stackElsewhere = 8;
  shape.threads[0].stackStart = 0x600002;
  shape.threads[0].stack.clear();
  const std::string bytes = WriteMinidump(shape);
  const Minidump dump = ReadMinidump(bytes);
  EXPECT_EQ(dump.threads[0].stack.start, 0x600002u);
  EXPECT_EQ(dump.Bytes(dump.threads[0].stack), "23456789");
}

// A file of any size read through positioned reads: the bytes of regions
// given, zeros elsewhere; counts what is read.
class SparseReader final : public RandomAccessReader {
 public:
  SparseReader(uint64_t size, std::vector<std::pair<uint64_t, std::string>> regions)
      : size_(size), regions_(std::move(regions)) {}
  uint64_t Size() const override { return size_; }
  std::size_t ReadAt(uint64_t offset, char* buffer, std::size_t size) override {
    if (offset >= size_) return 0;
    const std::size_t count = std::size_t(std::min<uint64_t>(size, size_ - offset));
    std::memset(buffer, 0, count);
    for (const auto& region : regions_)
      for (std::size_t i = 0; i < region.second.size(); ++i)
        if (region.first + i >= offset && region.first + i < offset + count)
          buffer[region.first + i - offset] = region.second[i];
    *read_ += count;
    return count;
  }
  std::shared_ptr<uint64_t> BytesRead() const { return read_; }

 private:
  uint64_t size_;
  std::vector<std::pair<uint64_t, std::string>> regions_;
  std::shared_ptr<uint64_t> read_ = std::make_shared<uint64_t>(0);
};

// A dump grown to 5 GiB, its 64-bit memory block moved past 4 GiB: read in
// place, the same as from memory, reading a few pages only.
TEST(Minidump, ReadInPlaceAtAnyOffset) {
  DumpLayout layout;
  std::string bytes = WriteMinidump(CrashShape(true), &layout);
  const uint64_t far = 0x140000000;  // 5 GiB
  test::dump_detail::Put(bytes, layout["memory64 list"] + 8, far, 8);
  auto reader = std::make_unique<SparseReader>(far + 0x10000, std::vector<std::pair<uint64_t, std::string>>{
                                                                  {0, bytes}, {far, "0123456789"}});
  const std::shared_ptr<uint64_t> read = reader->BytesRead();
  const Minidump dump = ReadMinidump(std::move(reader));
  const Minidump whole = ReadMinidump(bytes);
  ASSERT_EQ(dump.memory.size(), 2u);
  EXPECT_EQ(dump.memory[1].offset, far);
  EXPECT_EQ(dump.Bytes(dump.memory[1]), "0123456789");
  EXPECT_EQ(dump.Bytes(dump.threads[0].stack), whole.Bytes(whole.threads[0].stack));
  EXPECT_EQ(dump.modules[0].path, whole.modules[0].path);
  const auto frames = [](const Minidump& d) {
    std::string text;
    const std::vector<ThreadFrames> walks = WalkThreads(d, {}, true);
    for (const StackFrame& f : walks.front().frames) text += std::to_string(f.address) + " ";
    return text;
  };
  EXPECT_EQ(frames(dump), frames(whole));
  // The pages of the structures and of the far block; never the file.
  EXPECT_LE(*read, 4 * MinidumpFile::kPageSize);
  // A word of a block that the file does not hold is no word.
  EXPECT_EQ(dump.Word(MinidumpMemory{0x1000, 16, far + 0x10000 - 4}, 0x1000, 8), std::nullopt);
  EXPECT_EQ(dump.Word(MinidumpMemory{0x1000, 16, far}, 0x1000, 4), std::optional<uint64_t>(0x33323130));
}

// Every byte of the written dump is needed: each prefix is refused or, when
// only the bytes of memory blocks are cut off, read with them left out; a
// cut at the start of a structure names it.
TEST(Minidump, TruncatedAnywhere) {
  DumpLayout layout;
  const std::string bytes = WriteMinidump(CrashShape(false), &layout);
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    const std::string prefix = bytes.substr(0, cut);
    try {
      const Minidump dump = ReadMinidump(prefix);
      EXPECT_GE(cut, layout["memory64 0"]) << cut;
      EXPECT_EQ(dump.leftOut,
                std::vector<std::string>{"memory block 0 of the 64-bit memory list lies past the end of the file"});
    } catch (const MinidumpError&) {
      EXPECT_LT(cut, layout["memory64 0"]) << cut;
    }
  }
  const struct {
    const char* structure;
    const char* message;
  } cases[] = {
      {"header", "not a minidump (no MDMP signature)"},
      {"directory", "damaged minidump: the stream directory lies past the end of the file"},
      {"system info", "damaged minidump: the system information lies past the end of the file"},
      {"module list", "damaged minidump: the module list lies past the end of the file"},
      {"module name 1", "damaged minidump: the thread list lies past the end of the file"},
      {"thread list", "damaged minidump: the thread list lies past the end of the file"},
      {"exception", "damaged minidump: the exception stream lies past the end of the file"},
      {"memory list", "damaged minidump: the memory list lies past the end of the file"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(layout.count(c.structure)) << c.structure;
    try {
      ReadMinidump(bytes.substr(0, layout[c.structure] + 1));
      ADD_FAILURE() << c.structure << ": read";
    } catch (const MinidumpError& e) {
      EXPECT_STREQ(e.what(), c.message) << c.structure;
    }
  }
}

// A structure inside its stream that points past the end, or a count larger
// than its stream: the message names it.
TEST(Minidump, DamagedStructures) {
  DumpLayout layout;
  const std::string good = WriteMinidump(CrashShape(false), &layout);
  const auto put = [](std::string bytes, uint32_t at, uint64_t value, unsigned size) {
    test::dump_detail::Put(bytes, at, value, size);
    return bytes;
  };
  const uint32_t modules = layout["module list"], threads = layout["thread list"];
  const uint32_t exception = layout["exception"], memory64 = layout["memory64 list"];
  const struct {
    const char* what;
    std::string bytes;
    const char* message;
  } cases[] = {
      {"signature", put(good, 0, 0x504D444E, 4), "not a minidump (no MDMP signature)"},
      {"stream count", put(good, 8, 0x10000000, 4),
       "damaged minidump: the stream directory lies past the end of the file"},
      {"module count", put(good, modules, 1000000, 4),
       "damaged minidump: the module list counts 1000000 modules, more than its 220 bytes hold"},
      {"module name", put(good, modules + 4 + 20, 0xFFFFFFF0, 4),
       "damaged minidump: the name of module 0 lies past the end of the file"},
      {"name length", put(good, layout["module name 0"], 0x7FFFFFFF, 4),
       "damaged minidump: the name of module 0 lies past the end of the file"},
      // Inside the file, but no path is that long: not read into memory.
      {"long name", put(good + std::string(70000, '\0'), layout["module name 0"], 70000, 4),
       "damaged minidump: the name of module 0 holds 70000 bytes, more than 65536"},
      {"thread count", put(good, threads, 3, 4),
       "damaged minidump: the thread list counts 3 threads, more than its 100 bytes hold"},
      {"thread context", put(good, threads + 4 + 44, uint32_t(good.size()), 4),
       "damaged minidump: the context of thread 7 lies past the end of the file"},
      {"short context", put(good, threads + 4 + 40, 0x20, 4),
       "damaged minidump: the context of thread 7 holds 32 bytes, fewer than 200"},
      // Holds Eip (0xB8) but not Esp (0xC4), which comes after it.
      {"context without esp", put(good, threads + 4 + 40, 0xBC, 4),
       "damaged minidump: the context of thread 7 holds 188 bytes, fewer than 200"},
      {"exception parameters", put(good, exception + 8 + 24, 16, 4),
       "damaged minidump: the exception record counts 16 parameters, more than 15"},
      {"exception context", put(good, exception + 164, 0xFFFFFFFF, 4),
       "damaged minidump: the context of the exception lies past the end of the file"},
      {"memory count", put(good, layout["memory list"], 0xFFFFFFFF, 4),
       "damaged minidump: the memory list counts 4294967295 blocks, more than its 20 bytes hold"},
      {"memory64 count", put(good, memory64, ~0ull, 8),
       "damaged minidump: the 64-bit memory list counts 18446744073709551615 blocks, more than its 32 bytes hold"},
      {"architecture", put(good, layout["system info"], 12, 2),
       "the minidump is of a processor architecture 12; only x86 (0) and AMD64 (9) are read"},
      {"no system info", put(good, layout["directory"], 0x1234, 4),
       "damaged minidump: it has no SystemInfo stream (the processor is unknown)"},
  };
  for (const auto& c : cases) {
    try {
      ReadMinidump(c.bytes);
      ADD_FAILURE() << c.what << ": read";
    } catch (const MinidumpError& e) {
      EXPECT_STREQ(e.what(), c.message) << c.what;
    }
  }
  // The bytes of memory past the end are left out; the rest is read.
  const struct {
    const char* what;
    std::string bytes;
    std::vector<std::string> leftOut;
    size_t stackBytes, blocks;
  } leftOut[] = {
      {"stack", put(good, threads + 4 + 32, 0x10000, 4), {"the stack of thread 7 lies past the end of the file"}, 0, 2},
      {"memory block", put(good, layout["memory list"] + 4 + 12, 0xFFFFFFFF, 4),
       {"memory block 0 of the memory list lies past the end of the file"}, 16, 1},
      {"memory64 size", put(good, memory64 + 24, ~0ull, 8),
       {"memory block 0 of the 64-bit memory list lies past the end of the file"}, 16, 1},
  };
  for (const auto& c : leftOut) {
    const Minidump dump = ReadMinidump(c.bytes);
    EXPECT_EQ(dump.leftOut, c.leftOut) << c.what;
    EXPECT_EQ(dump.threads[0].stack.size, c.stackBytes) << c.what;
    EXPECT_EQ(dump.memory.size(), c.blocks) << c.what;
    EXPECT_TRUE(dump.exception && dump.exception->registers) << c.what;
  }
}

// --- The stack walk on hand-made stacks ------------------------------------

struct WalkCase {
  const char* name;
  unsigned w;
  DumpShape::Thread thread;  // its registers and stack
  bool scan;
  const char* want;  // each frame as "ADDRESS/how" (c, f, s)
};

std::string Describe(const std::vector<StackFrame>& frames) {
  std::string text;
  for (const StackFrame& f : frames) {
    char one[40];
    std::snprintf(one, sizeof one, "%llX/%c ", static_cast<unsigned long long>(f.address),
                  f.foundBy == StackFrame::FoundBy::Context ? 'c' : f.foundBy == StackFrame::FoundBy::FramePointer ? 'f' : 's');
    text += one;
  }
  return text;
}

TEST(StackWalk, FramePointerChainAndScan) {
  // Modules: 0x400000-0x410000 and 0x10000000-0x10008000; "code" below is
  // 0x401000-0x402000 and the whole second module.
  const uint64_t s = 0x1000;  // stack start
  const WalkCase cases[] = {
      {"chain to a zero frame pointer", 4, {1, {0x10000010, s, s}, s, Words({s + 8, 0x401234, 0, 0x10001111}, 4)},
       false, "10000010/c 401234/f 10001111/f "},
      {"64-bit chain", 8, {1, {0x10000010, s, s}, s, Words({s + 16, 0x401234, 0, 0x10001111}, 8)}, false,
       "10000010/c 401234/f 10001111/f "},
      {"frame pointer not a multiple of the word", 4,
       {1, {0x10000010, s, s + 2}, s, Words({0, 0x401234, 0, 0x401234}, 4)}, false, "10000010/c "},
      {"frame pointer below the stack pointer", 4,
       {1, {0x10000010, s + 8, s}, s, Words({s + 8, 0x401234, 0, 0x401234}, 4)}, false, "10000010/c "},
      {"frame pointer not above the previous one", 4,
       {1, {0x10000010, s, s}, s, Words({s, 0x401234}, 4)}, false, "10000010/c 401234/f "},
      {"frame past the stack memory", 4, {1, {0x10000010, s, s}, s, Words({s + 4, 0x401234}, 4)}, false,
       "10000010/c 401234/f "},
      {"return address outside every module", 4,
       {1, {0x10000010, s, s}, s, Words({s + 8, 0x900000, 0, 0x401234}, 4)}, false, "10000010/c "},
      {"no stack memory", 4, {1, {0x10000010, s, s}, s, ""}, false, "10000010/c "},
      {"scan: code words in slot order, chain slots once", 4,
       {1, {0x10000010, s, s + 8}, s,
        Words({0x10002222, 0x40F000, s + 16, 0x401234, 0x12345, 0, 0x401500, 0x10003333}, 4)},
       true, "10000010/c 10002222/s 401234/f 401500/s 10003333/s "},
      {"scan from an unaligned stack pointer", 4,
       {1, {0x10000010, s + 1, 0}, s, Words({0x10002222, 0x10003333}, 4)}, true, "10000010/c 10003333/s "},
  };
  for (const WalkCase& c : cases) {
    SCOPED_TRACE(c.name);
    Minidump dump;
    dump.processor = c.w == 8 ? Minidump::Processor::Amd64 : Minidump::Processor::X86;
    dump.modules = {{0x400000, 0x10000, "App.exe", std::nullopt}, {0x10000000, 0x8000, "Lib.dll", std::nullopt}};
    // The stack's bytes are the whole file of the dump.
    dump.file = std::make_shared<const MinidumpFile>(std::make_unique<MemoryRandomAccessReader>(c.thread.stack));
    const MinidumpMemory stack{c.thread.stackStart, c.thread.stack.size(), 0};
    StackWalkOptions options;
    options.scan = c.scan;
    options.inCode = [](uint64_t a) { return (a >= 0x401000 && a < 0x402000) || (a >= 0x10000000 && a < 0x10008000); };
    const MinidumpRegisters registers{c.thread.registers.ip, c.thread.registers.sp, c.thread.registers.fp};
    EXPECT_EQ(Describe(WalkStack(dump, stack, registers, options)), c.want);
  }
}

// Which thread is walked from which registers.
TEST(StackWalk, Threads) {
  DumpShape shape = CrashShape(false);
  shape.threads[0].registers.ip = 0x77001000;  // the thread's own context at the time of the dump
  const std::string bytes = WriteMinidump(shape);
  const Minidump dump = ReadMinidump(bytes);
  const auto describe = [](const std::vector<ThreadFrames>& walks) {
    std::string text;
    for (const ThreadFrames& walk : walks) text += std::to_string(walk.threadId) + ": " + Describe(walk.frames);
    return text;
  };
  EXPECT_EQ(describe(WalkThreads(dump, {}, false)), "7: 10001000/c 401234/f 10001111/f ");
  EXPECT_EQ(describe(WalkThreads(dump, {}, true)), "7: 10001000/c 401234/f 10001111/f 9: 77002000/c ");
  shape.exception.reset();
  const std::string withoutException = WriteMinidump(shape);
  EXPECT_EQ(describe(WalkThreads(ReadMinidump(withoutException), {}, false)), "7: 77001000/c 401234/f 10001111/f ");
  shape.threads.clear();
  const std::string empty = WriteMinidump(shape);
  EXPECT_EQ(describe(WalkThreads(ReadMinidump(empty), {}, true)), "");
}

}  // namespace
}  // namespace qf
