// The stack walk with the modules' images: the x64 unwind on the dump of
// tests/dumps/Frameless (a program built with -O2 -fomit-frame-pointer, its
// dump written under 64-bit Wine and kept with its modules), the unwind
// codes on hand-made tables, the call-instruction check on its encodings,
// and the checked scan on a stack written around the real 32-bit image of
// tests/dumps/Checked32.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "MinidumpWriter.h"
#include "PeImageWriter.h"
#include "crash/MinidumpReader.h"
#include "crash/StackWalk.h"
#include "image/CallInstruction.h"
#include "image/UnwindInfo.h"

namespace qf {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << path;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string DumpsFile(const std::string& name) { return std::string(QF_DUMPS_DIR) + "/" + name; }

// The frames of frameless64.answers: address, module ("?" for the system's).
struct Expected {
  uint64_t address;
  std::string module;
};

std::vector<Expected> ExpectedFrames() {
  std::istringstream lines(ReadFile(DumpsFile("Frameless/data/frameless64.answers")));
  std::vector<Expected> frames;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string kind, n, address, module;
    words >> kind >> n >> address >> module;
    if (kind == "frame") frames.push_back({std::stoull(address, nullptr, 16), module});
  }
  return frames;
}

// The dump of Frameless.exe with the images of its two modules.
class FramelessDump : public ::testing::Test {
 protected:
  void SetUp() override {
    dumpBytes_ = ReadFile(DumpsFile("Frameless/data/frameless64.dmp"));
    dump_ = ReadMinidump(dumpBytes_);
    for (const char* name : {"Frameless.exe", "FrameLib.dll"}) {
      auto bytes = std::make_unique<std::string>(ReadFile(DumpsFile(std::string("Frameless/data/") + name)));
      std::optional<PeImage> image = ReadPeImage(*bytes);
      ASSERT_TRUE(image) << name;
      for (const MinidumpModule& module : dump_.modules)
        if (module.Name() == name) {
          ASSERT_EQ(image->timeDateStamp, module.timeDateStamp) << name;
          ASSERT_EQ(image->sizeOfImage, module.size) << name;
          images_[&module] = std::make_unique<ModuleImage>(std::move(*image), *bytes);
        }
      bytes_.push_back(std::move(bytes));
    }
    ASSERT_EQ(images_.size(), 2u);
    ASSERT_TRUE(dump_.exception && dump_.exception->registers);
    stack_ = dump_.Thread(dump_.exception->threadId)->stack;
  }

  StackWalkOptions Options(bool withImages, bool scan = false) const {
    StackWalkOptions options;
    options.scan = scan;
    options.inCode = [this](uint64_t a) { return dump_.ModuleAt(a) != nullptr; };
    if (withImages)
      options.imageOf = [this](const MinidumpModule& m) {
        const auto found = images_.find(&m);
        return found == images_.end() ? nullptr : found->second.get();
      };
    return options;
  }

  const ModuleImage* ImageAt(uint64_t address) const {
    const MinidumpModule* module = dump_.ModuleAt(address);
    const auto found = images_.find(module);
    return found == images_.end() ? nullptr : found->second.get();
  }

  std::optional<UnwindStep> Step(const X64Context& context, bool caller) const {
    const MinidumpModule* module = dump_.ModuleAt(caller ? context.rip - 1 : context.rip);
    const ModuleImage* image = ImageAt(caller ? context.rip - 1 : context.rip);
    if (!image) return std::nullopt;
    return UnwindX64(image->Unwind(), image->Image(), image->Bytes(), module->base, context, caller, Read());
  }

  ReadMemory64 Read() const {
    return [this](uint64_t a) { return dump_.Word(stack_, a, 8); };
  }

  // The context of every frame the unwind finds (frame 0: the exception's).
  std::vector<X64Context> Contexts() const {
    const MinidumpRegisters& r = *dump_.exception->registers;
    X64Context context;
    context.r = r.general;
    context.rip = r.ip;
    std::vector<X64Context> contexts{context};
    while (const auto step = Step(contexts.back(), contexts.size() > 1)) contexts.push_back(step->context);
    return contexts;
  }

  std::string dumpBytes_;
  Minidump dump_;
  std::vector<std::unique_ptr<std::string>> bytes_;
  std::map<const MinidumpModule*, std::unique_ptr<ModuleImage>> images_;
  MinidumpMemory stack_;
};

// Every frame of the program, from the fault through main and the C
// run-time start-up into the system's kernel32.dll, found by the unwind in
// order; the frame after it (in ntdll.dll) needs kernel32.dll's image.
TEST_F(FramelessDump, UnwindFindsEveryFrame) {
  const std::vector<Expected> expected = ExpectedFrames();
  ASSERT_EQ(expected.size(), 12u);
  const std::vector<StackFrame> frames =
      WalkStack(dump_, stack_, *dump_.exception->registers, Options(true));
  ASSERT_EQ(frames.size(), 11u);
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(frames[i].address, expected[i].address);
    EXPECT_EQ(frames[i].foundBy, i == 0 ? StackFrame::FoundBy::Context : StackFrame::FoundBy::Unwind);
  }
  EXPECT_EQ(dump_.ModuleAt(frames[10].address)->Name(), "kernel32.dll");
  // The library was moved by the loader.
  const MinidumpModule* lib = dump_.ModuleAt(frames[0].address);
  EXPECT_NE(lib->base, ImageAt(frames[0].address)->Image().imageBase);

  // Without images the chain ends at once, and the scan finds the true
  // frames among words that are none.
  EXPECT_EQ(WalkStack(dump_, stack_, *dump_.exception->registers, Options(false)).size(), 1u);
  const size_t unchecked = WalkStack(dump_, stack_, *dump_.exception->registers, Options(false, true)).size();
  const std::vector<StackFrame> checked = WalkStack(dump_, stack_, *dump_.exception->registers, Options(true, true));
  EXPECT_LT(checked.size(), unchecked);
  // The scan keeps the unwound frames where they lie and adds none twice.
  size_t unwound = 0;
  for (size_t i = 1; i < checked.size(); ++i) {
    EXPECT_LT(checked[i - 1].slot, checked[i].slot);
    unwound += checked[i].foundBy == StackFrame::FoundBy::Unwind;
  }
  EXPECT_EQ(unwound, 10u);
}

// Frame 0 lies in a leaf without an unwind entry; frame 1 is the first byte
// of that leaf, returned to by a function whose last instruction is its call.
TEST_F(FramelessDump, LeafAndCallAsLastInstruction) {
  const std::vector<X64Context> contexts = Contexts();
  ASSERT_GE(contexts.size(), 3u);
  const MinidumpModule* lib = dump_.ModuleAt(contexts[0].rip);
  const UnwindTable& table = ImageAt(contexts[0].rip)->Unwind();
  EXPECT_FALSE(table.Covers(uint32_t(contexts[0].rip - lib->base)));
  EXPECT_TRUE(Step(contexts[0], false)->leaf);

  const auto returnRva = uint32_t(contexts[1].rip - lib->base);
  EXPECT_FALSE(table.Covers(returnRva));  // the leaf's first byte
  const std::optional<UnwindFunction> caller = table.FunctionAt(returnRva - 1);
  ASSERT_TRUE(caller);
  EXPECT_EQ(caller->entry.end, returnRva);
  EXPECT_FALSE(Step(contexts[1], true)->leaf);
}

// Frame 0 in a prolog: the callee of each frame's call, stopped at its first
// byte, unwinds to the frame. Frame 0 in an epilog: each caller frame's
// context moved to the epilog that follows its return address, at each of
// its instructions, unwinds as the frame does.
TEST_F(FramelessDump, PrologAndEpilog) {
  const std::vector<X64Context> contexts = Contexts();
  const std::vector<StackFrame> frames = WalkStack(dump_, stack_, *dump_.exception->registers, Options(true));
  const uint8_t nonVolatile[] = {kRbx, kRbp, kRsi, kRdi, kR12, kR13, kR14, kR15};
  size_t prologs = 0, epilogs = 0;
  for (size_t i = 1; i + 1 < contexts.size() && i < frames.size(); ++i) {
    SCOPED_TRACE(i);
    const X64Context& frame = contexts[i];
    if (frames[i].callTarget && ImageAt(*frames[i].callTarget)) {
      X64Context entry = frame;
      entry.rip = *frames[i].callTarget;
      entry.r[kRsp] = frame.r[kRsp] - 8;
      const auto step = Step(entry, false);
      ASSERT_TRUE(step);
      EXPECT_EQ(step->context.rip, frame.rip);
      EXPECT_EQ(step->context.r[kRsp], frame.r[kRsp]);
      ++prologs;
    }
    const ModuleImage* image = ImageAt(frame.rip - 1);
    if (!image) continue;
    const uint64_t base = dump_.ModuleAt(frame.rip - 1)->base;
    const auto function = image->Unwind().FunctionAt(uint32_t(frame.rip - 1 - base));
    if (!function) continue;
    const auto rva = uint32_t(frame.rip - base);
    const std::string_view code = PeBytesAt(image->Image(), image->Bytes(), rva, function->entry.end - rva);
    const size_t add = code.find("\x48\x83\xC4");
    if (add == std::string_view::npos) continue;
    const auto want = Step(frame, true);
    ASSERT_TRUE(want);
    // add rsp, imm8; then each pop; then ret.
    X64Context at = frame;
    at.rip = frame.rip + add;
    uint64_t p = add + 4;
    for (;;) {
      const auto step = Step(at, false);
      ASSERT_TRUE(step);
      EXPECT_TRUE(step->epilog);
      EXPECT_EQ(step->context.rip, want->context.rip);
      EXPECT_EQ(step->context.r[kRsp], want->context.r[kRsp]);
      for (const uint8_t reg : nonVolatile) EXPECT_EQ(step->context.r[reg], want->context.r[reg]) << int(reg);
      ++epilogs;
      if (at.rip == frame.rip + add) {
        at.r[kRsp] += static_cast<uint8_t>(code[add + 3]);
      } else {
        at.r[kRsp] += 8;
      }
      const uint8_t byte = static_cast<uint8_t>(code[p]);
      if (byte == 0xC3) {
        at.rip = frame.rip + p;
        const auto ret = Step(at, false);
        ASSERT_TRUE(ret);
        EXPECT_EQ(ret->context.rip, want->context.rip);
        break;
      }
      const unsigned length = byte == 0x41 ? 2 : 1;
      ASSERT_TRUE(length == 2 || (byte >= 0x58 && byte <= 0x5F)) << std::hex << int(byte);
      // Once the pop has run, its register holds what the prolog saved.
      const unsigned reg = byte == 0x41 ? 8 + (static_cast<uint8_t>(code[p + 1]) - 0x58) : byte - 0x58;
      at.r[reg] = want->context.r[reg];
      at.rip = frame.rip + p;
      p += length;
    }
  }
  EXPECT_GE(prologs, 5u);
  EXPECT_GE(epilogs, 10u);
}

// A hand-made x64 image: code at 0x1000, RUNTIME_FUNCTION entries at
// 0x1100, UNWIND_INFO records from 0x1180, all in its .text section.
struct HandImage {
  std::string bytes = test::MakePeImage({true, false, 0x5F1E2A3B, {1, 0, 0, 0}});
  static constexpr uint32_t kPdata = 0x1100, kXdata = 0x1180;
  std::vector<std::array<uint32_t, 3>> entries;

  HandImage() {
    using test::pe_detail::Put32;
    const uint32_t table = test::PeImageLayout::kOptionalHeader + 240;
    Put32(bytes, table + 8, 0x200);  // .text spans all of its raw bytes
  }
  uint32_t Offset(uint32_t rva) const { return rva - 0x1000 + test::PeImageLayout::kText; }
  void Put(uint32_t rva, const std::vector<uint8_t>& data) {
    for (size_t i = 0; i < data.size(); ++i) bytes[Offset(rva) + i] = static_cast<char>(data[i]);
  }
  void Finish() {
    using test::pe_detail::Put32;
    for (size_t i = 0; i < entries.size(); ++i)
      for (unsigned k = 0; k < 3; ++k) Put32(bytes, Offset(kPdata) + 12 * uint32_t(i) + 4 * k, entries[i][k]);
    const uint32_t directory = test::PeImageLayout::kOptionalHeader + 112 + 3 * 8;
    Put32(bytes, directory, kPdata);
    Put32(bytes, directory + 4, 12 * uint32_t(entries.size()));
  }
};

TEST(UnwindCodes, EveryOperation) {
  struct Case {
    const char* name;
    std::vector<uint8_t> info;  // the UNWIND_INFO at 0x1180
    uint32_t ripOffset;         // from the function's start (0x1000, 0x40 bytes)
    std::vector<uint64_t> stack;  // words from 0x8000 = RSP
    uint64_t wantRip, wantRsp;
    std::map<uint8_t, uint64_t> wantRegisters;
  };
  const uint64_t s = 0x8000;
  const Case cases[] = {
      {"push rbx; push rsi; sub rsp, 0x10 (small)",
       {0x01, 6, 3, 0, 6, 0x12, 2, 0x60, 1, 0x30}, 0x20, {0, 0, 0x66, 0x33, 0x1234}, 0x1234, s + 40,
       {{kRsi, 0x66}, {kRbx, 0x33}}},
      {"only the codes the prolog ran: after push rbx", {0x01, 6, 3, 0, 6, 0x12, 2, 0x60, 1, 0x30}, 1,
       {0x33, 0x1234}, 0x1234, s + 16, {{kRbx, 0x33}}},
      {"alloc large, scaled by 8", {0x01, 4, 2, 0, 4, 0x01, 3, 0}, 0x10, {0, 0, 0, 0x99}, 0x99, s + 32, {}},
      {"alloc large, 32-bit size", {0x01, 7, 3, 0, 7, 0x11, 0x10, 0, 0, 0}, 0x10, {0, 0, 0x99}, 0x99, s + 24, {}},
      {"save rdi at [frame + 8] (scaled)", {0x01, 9, 3, 0, 9, 0x74, 1, 0, 4, 0x12}, 0x10, {0, 0x77, 0x55},
       0x55, s + 24, {{kRdi, 0x77}}},
      {"save r12 far", {0x01, 9, 4, 0, 9, 0xC5, 0x10, 0, 0, 0, 4, 0x42}, 0x10,
       {0, 0, 0x12, 0, 0, 0x55}, 0x55, s + 48, {{kR12, 0x12}}},
      {"save xmm6 (no general register)", {0x01, 9, 3, 0, 9, 0x68, 1, 0, 4, 0x32}, 0x10, {0, 0, 0, 0, 0x55},
       0x55, s + 40, {}},
      {"frame register rbp = rsp + 0x20", {0x01, 8, 3, 0x25, 8, 0x03, 4, 0x42, 1, 0x50}, 0x10,
       {0x44, 0, 0, 0, 0, 0x77, 0x55}, 0x55, s + 56, {{kRbp, 0x77}}},
      {"machine frame with error code", {0x01, 1, 1, 0, 1, 0x1A}, 0x10, {0, 0x4321, 0, 0, 0x9000}, 0x4321,
       0x9000, {}},
      {"epilog: add rsp, 0x10; pop rbx; ret", {0x01, 5, 2, 0, 5, 0x12, 1, 0x30}, 0x30, {0, 0, 0x33, 0x1234},
       0x1234, s + 32, {{kRbx, 0x33}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HandImage hand;
    hand.Put(0x1030, {0x48, 0x83, 0xC4, 0x10, 0x5B, 0xC3});
    hand.Put(HandImage::kXdata, c.info);
    hand.entries = {{0x1000, 0x1040, HandImage::kXdata}};
    hand.Finish();
    const std::optional<PeImage> image = ReadPeImage(hand.bytes);
    ASSERT_TRUE(image);
    const UnwindTable table(*image, hand.bytes);
    X64Context context;
    context.rip = 0x140001000 + c.ripOffset;
    context.r[kRsp] = s;
    context.r[kRbp] = s + 0x20;  // with a frame register: RBP = RSP + 0x20 after the prolog
    const auto read = [&](uint64_t a) -> std::optional<uint64_t> {
      if (a < s || a >= s + 8 * c.stack.size() || (a - s) % 8) return std::nullopt;
      return c.stack[size_t(a - s) / 8];
    };
    const auto step = UnwindX64(table, *image, hand.bytes, 0x140000000, context, false, read);
    ASSERT_TRUE(step);
    EXPECT_EQ(step->context.rip, c.wantRip);
    EXPECT_EQ(step->context.r[kRsp], c.wantRsp);
    for (const auto& [reg, value] : c.wantRegisters) EXPECT_EQ(step->context.r[reg], value) << int(reg);
  }
}

// A chained entry: the function's second part (0x1020-0x1040) continues the
// first (0x1000-0x1020), whose prolog pushed rbx; its own codes allocate.
TEST(UnwindCodes, ChainedEntryAndDamage) {
  HandImage hand;
  hand.Put(HandImage::kXdata, {0x01, 2, 1, 0, 2, 0x30});                // push rbx
  hand.Put(HandImage::kXdata + 0x10, {0x21, 0, 1, 0, 0, 0x12, 0, 0,    // chain: sub rsp, 0x10
                                      0x00, 0x10, 0, 0, 0x20, 0x10, 0, 0, 0x80, 0x11, 0, 0});
  hand.entries = {{0x1000, 0x1020, HandImage::kXdata}, {0x1020, 0x1040, HandImage::kXdata + 0x10}};
  hand.Finish();
  std::optional<PeImage> image = ReadPeImage(hand.bytes);
  ASSERT_TRUE(image);
  const UnwindTable table(*image, hand.bytes);
  const auto function = table.FunctionAt(0x1030);
  ASSERT_TRUE(function);
  ASSERT_EQ(function->chain.size(), 1u);
  EXPECT_EQ(function->chain[0].begin, 0x1000u);
  const std::vector<uint64_t> stack = {0, 0, 0x33, 0x1234};
  const auto read = [&](uint64_t a) -> std::optional<uint64_t> {
    if (a < 0x8000 || a >= 0x8000 + 8 * stack.size()) return std::nullopt;
    return stack[size_t(a - 0x8000) / 8];
  };
  X64Context context;
  context.rip = 0x140001030;
  context.r[kRsp] = 0x8000;
  auto step = UnwindX64(table, *image, hand.bytes, 0x140000000, context, false, read);
  ASSERT_TRUE(step);
  EXPECT_EQ(step->context.rip, 0x1234u);
  EXPECT_EQ(step->context.r[kRbx], 0x33u);

  // Damaged records: no answer, never a read past them.
  struct Damage {
    const char* name;
    uint32_t rva;
    std::vector<uint8_t> bytes;
  };
  const Damage damages[] = {
      {"version 3", HandImage::kXdata, {0x03, 2, 1, 0, 2, 0x30}},
      {"an operand slot past the count", HandImage::kXdata, {0x01, 2, 1, 0, 2, 0x01}},
      {"an unknown operation", HandImage::kXdata, {0x01, 2, 1, 0, 2, 0x0B}},
      {"a chain to itself", HandImage::kXdata + 0x10,
       {0x21, 0, 0, 0, 0x20, 0x10, 0, 0, 0x40, 0x10, 0, 0, 0x90, 0x11, 0, 0}},
      {"codes past the section", HandImage::kXdata, {0x01, 2, 0xFF, 0, 2, 0x30}},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.name);
    HandImage damaged = hand;
    damaged.Put(d.rva, d.bytes);
    image = ReadPeImage(damaged.bytes);
    const UnwindTable t(*image, damaged.bytes);
    EXPECT_FALSE(t.FunctionAt(0x1030) && t.FunctionAt(0x1010));
    EXPECT_FALSE(UnwindX64(t, *image, damaged.bytes, 0x140000000, context, false, read) &&
                 UnwindX64(t, *image, damaged.bytes, 0x140000000,
                           X64Context{context.r, 0x140001010}, false, read));
  }
}

TEST(CallInstruction, Encodings) {
  struct Case {
    const char* name;
    std::string bytes;  // ending at the return address (RVA 0x2000)
    unsigned length;    // 0: no call
    std::optional<uint32_t> target;
  };
  const Case cases[] = {
      {"E8 rel32 backwards", std::string("\x90\xE8\xF0\xFF\xFF\xFF", 6), 5, 0x1FF0},
      {"E8 rel32 forwards", std::string("\xE8\x10\x00\x00\x00", 5), 5, 0x2010},
      {"FF D0 call eax", std::string("\x90\xFF\xD0", 3), 2, std::nullopt},
      {"FF 10 call [eax]", std::string("\xFF\x10", 2), 2, std::nullopt},
      {"FF 15 call [disp32]", std::string("\xFF\x15\x48\x90\x40\x00", 6), 6, std::nullopt},
      {"FF 14 24 call [esp]", std::string("\xFF\x14\x24", 3), 3, std::nullopt},
      {"FF 14 85 call [disp32 + eax*4]", std::string("\xFF\x14\x85\x00\x10\x40\x00", 7), 7, std::nullopt},
      {"FF 50 08 call [eax + 8]", std::string("\xFF\x50\x08", 3), 3, std::nullopt},
      {"FF 54 24 08 call [esp + 8]", std::string("\xFF\x54\x24\x08", 4), 4, std::nullopt},
      {"FF 90 disp32 call [eax + disp32]", std::string("\xFF\x90\x00\x01\x00\x00", 6), 6, std::nullopt},
      {"FF 94 24 disp32 call [esp + disp32]", std::string("\xFF\x94\x24\x00\x01\x00\x00", 7), 7, std::nullopt},
      {"FF 20 is a jmp", std::string("\xFF\x20", 2), 0, std::nullopt},
      {"FF 50 without its disp8", std::string("\x90\xFF\x50", 3), 0, std::nullopt},
      {"FF 15 too short", std::string("\xFF\x15\x00\x00", 4), 0, std::nullopt},
      {"plain data", std::string("\x00\x00\x00\x00\x00\x00\x00", 7), 0, std::nullopt},
      {"nothing before", "", 0, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto call = CallEndingAt(c.bytes, 0x2000);
    EXPECT_EQ(call ? call->length : 0u, c.length);
    if (call) {
      EXPECT_EQ(call->target, c.target);
    }
  }
}

// A stack as Checked32.exe (real, built by MinGW i686 with -O2
// -fomit-frame-pointer) would have it when Leaf faults: Leaf and Middle keep
// no frame, Outer does. The chain skips Middle's and Outer's return
// addresses; the scan finds them and Middle's local holding the address of
// Callback, which only the check against the image drops.
TEST(CheckedScan, RealX86Image) {
  const std::string bytes = ReadFile(DumpsFile("Checked32/data/Checked32.exe"));
  std::optional<PeImage> image = ReadPeImage(bytes);
  ASSERT_TRUE(image);
  std::map<std::string, uint64_t> site;
  std::istringstream lines(ReadFile(DumpsFile("Checked32/data/checked32.sites")));
  for (std::string key, value; lines >> key >> value;) site[key] = std::stoull(value, nullptr, 16);
  ASSERT_EQ(site.size(), 7u);
  const uint64_t base = 0x00A40000;  // moved from its preferred base
  auto at = [&](const char* key) { return base + site.at(key); };

  // Middle: sub esp, 0x28 after push ebx; Outer's frame F above it.
  const uint64_t sp = 0x0019FE00, f = sp + 4 + 0x68;
  std::vector<uint64_t> words(0x90 / 4, 0);
  auto put = [&](uint64_t address, uint64_t value) { words[size_t(address - sp) / 4] = value; };
  put(sp, at("return_middle"));             // Leaf's return into Middle
  put(sp + 4 + 0x1C, at("callback"));       // Middle's local: a code pointer
  put(sp + 4 + 0x2C, at("return_outer"));   // Middle's return into Outer
  put(f, 0);                                // main's frame pointer: the chain ends
  put(f + 4, at("return_main"));            // Outer's return into main

  test::DumpShape shape;
  shape.modules = {{base, image->sizeOfImage, "C:\\app\\Checked32.exe", std::nullopt, image->timeDateStamp}};
  std::string stack(words.size() * 4, '\0');
  for (size_t i = 0; i < words.size(); ++i) test::dump_detail::Put(stack, uint32_t(4 * i), words[i], 4);
  shape.threads = {{5, {at("fault"), sp, f}, sp, stack, 0}};
  shape.exception = test::DumpShape::Exception{5, 0xC0000005, at("fault"), {1, 0}, {at("fault"), sp, f}};
  const std::string dumpBytes = test::WriteMinidump(shape);
  const Minidump dump = ReadMinidump(dumpBytes);
  ASSERT_EQ(dump.modules[0].timeDateStamp, image->timeDateStamp);
  const ModuleImage moduleImage(*image, bytes);

  StackWalkOptions options;
  options.inCode = [&](uint64_t a) { return dump.ModuleAt(a) != nullptr; };
  auto describe = [&](const std::vector<StackFrame>& frames) {
    std::string text;
    for (const StackFrame& frame : frames) {
      for (const auto& [key, value] : site)
        if (base + value == frame.address) text += key;
      text += frame.foundBy == StackFrame::FoundBy::Scan       ? "/s "
              : frame.foundBy == StackFrame::FoundBy::Context  ? "/c "
              : frame.foundBy == StackFrame::FoundBy::Analysis ? "/a "
                                                               : "/f ";
    }
    return text;
  };
  const auto walk = [&] { return WalkThreads(dump, options, false).front().frames; };
  EXPECT_EQ(describe(walk()), "fault/c return_main/f ");
  options.scan = true;
  EXPECT_EQ(describe(walk()), "fault/c return_middle/s callback/s return_outer/s return_main/f ");
  options.imageOf = [&](const MinidumpModule&) { return &moduleImage; };
  // With the image, each frame by the analysis of its code (read forward to
  // its return: no function starts given), and no scanned word between them.
  const std::vector<StackFrame> checked = walk();
  EXPECT_EQ(describe(checked), "fault/c return_middle/a return_outer/a return_main/a ");
  // Middle's call of Leaf is E8: its target is Leaf's first byte.
  EXPECT_EQ(checked[1].callTarget, at("leaf"));
}

// A function that realigns its stack (its return address known only from
// EBP) and makes 200 indirect calls, and a stack of their return addresses
// with no frame pointer: the analysis finds no caller of frame 0 and knows no
// later frame (EBP is lost), the scan step finds each caller, up to
// kMaxScannedFrames of them in a row.
TEST(CheckedScan, CapsScannedFramesInARow) {
  test::PeImageShape shape;
  shape.withResources = false;
  std::string bytes = test::MakePeImage(shape);
  const uint32_t text = test::PeImageLayout::kText, calls = 200;
  bytes.replace(text, 6, "\x55\x8B\xEC\x83\xE4\xF0", 6);  // push ebp; mov ebp, esp; and esp, -16
  for (uint32_t i = 0; i < calls; ++i) bytes.replace(text + 6 + 2 * i, 2, "\xFF\xD0", 2);  // call eax
  bytes.replace(text + 6 + 2 * calls, 2, "\xC9\xC3", 2);  // leave; ret
  test::pe_detail::Put32(bytes, test::PeImageLayout::kOptionalHeader + 224 + 8, 0x200);  // the section's VirtualSize
  std::optional<PeImage> image = ReadPeImage(bytes);
  ASSERT_TRUE(image);
  const ModuleImage moduleImage(*image, bytes);
  const uint64_t base = 0x400000, sp = 0x0019F000, code = base + test::PeImageLayout::kTextRva;
  std::string stack;
  for (uint32_t i = 0; i < 2 * kMaxScannedFrames; ++i) {
    stack += std::string(4, '\0');
    test::dump_detail::Put(stack, 4 * i, code + 6 + 2 * (1 + i % calls), 4);
  }
  test::DumpShape dumpShape;
  dumpShape.modules = {{base, image->sizeOfImage, "C:\\app\\Calls.exe", std::nullopt, image->timeDateStamp}};
  dumpShape.threads = {{5, {code + 8, sp, 0}, sp, stack, 0}};
  const std::string dumpBytes = test::WriteMinidump(dumpShape);
  const Minidump dump = ReadMinidump(dumpBytes);
  StackWalkOptions options;
  options.inCode = [&](uint64_t a) { return dump.ModuleAt(a) != nullptr; };
  options.imageOf = [&](const MinidumpModule&) { return &moduleImage; };
  const std::vector<StackFrame> frames = WalkThreads(dump, options, false).front().frames;
  ASSERT_EQ(frames.size(), 1 + kMaxScannedFrames);
  EXPECT_EQ(frames.back().slot, sp + 4 * (kMaxScannedFrames - 1));
  EXPECT_TRUE(std::all_of(frames.begin() + 1, frames.end(),
                          [](const StackFrame& f) { return f.foundBy == StackFrame::FoundBy::Scan; }));
}

}  // namespace
}  // namespace qf
