// libFuzzer target for the walk with a module's image: the x64 unwind
// tables and unwind codes, epilogs, and the call check of scanned words. The
// input is a header, an image and a stack:
//   byte 0        bit 0: scan; bit 1: an x86 dump (else AMD64)
//   bytes 1-4     the image's length (cut to what follows)
//   bytes 5-8     the RVA of the instruction pointer
//   bytes 9-12    the stack pointer's offset in the stack
//   then the image, then the stack (at 0x10000).
// Any input is walked: frame 0 is the context, at most 1,000 frames, every
// frame after it read from a slot of the stack, the scan in slot order; every
// unwind entry read lies in its function, and every call found is 2 to 7 bytes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "FuzzCheck.h"
#include "crash/StackWalk.h"
#include "image/CallInstruction.h"
#include "image/PeImage.h"
#include "image/UnwindInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  constexpr std::size_t kHeader = 13;
  if (size < kHeader) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const qf::LeBytes header(input);
  const bool scan = data[0] & 1, x86 = data[0] & 2;
  const uint64_t imageLength = std::min<uint64_t>(*header.U32(1), size - kHeader);
  const uint32_t ripRva = *header.U32(5), spOffset = *header.U32(9);
  const std::string_view imageBytes = input.substr(kHeader, imageLength);
  const std::string_view stackBytes = input.substr(kHeader + imageLength);

  const std::optional<qf::PeImage> image = qf::ReadPeImage(imageBytes);
  if (!image) return 0;
  const qf::ModuleImage module(*image, imageBytes);
  const qf::UnwindTable& table = module.Unwind();
  for (std::size_t i = 0; i < table.Size() && i < 64; ++i) {
    const auto entry = table.EntryAt(i);
    if (!entry) continue;
    QF_CHECK(entry->begin < entry->end);
    if (const auto function = table.FunctionAt(entry->begin)) {
      QF_CHECK(function->entry.Contains(entry->begin));
      QF_CHECK(function->chain.size() <= qf::UnwindTable::kMaxChain);
    }
  }
  if (const auto call = qf::CallBeforeRva(*image, imageBytes, ripRva)) QF_CHECK(call->length >= 2 && call->length <= 7);

  qf::Minidump dump;
  dump.processor = x86 ? qf::Minidump::Processor::X86 : qf::Minidump::Processor::Amd64;
  const uint64_t base = x86 ? 0x400000 : 0x140000000;
  qf::MinidumpModule m;
  m.base = base;
  m.size = image->sizeOfImage;
  m.timeDateStamp = image->timeDateStamp;
  dump.modules.push_back(m);
  dump.file = std::make_shared<qf::MinidumpFile>(std::make_unique<qf::MemoryRandomAccessReader>(stackBytes));
  const qf::MinidumpMemory stack{0x10000, stackBytes.size(), 0};
  qf::MinidumpRegisters registers;
  registers.ip = base + ripRva;
  registers.sp = stack.start + spOffset;
  registers.fp = registers.sp + 2 * dump.WordSize();
  for (unsigned i = 0; i < 16; ++i) registers.general[i] = stack.start + 8 * i;
  registers.general[qf::kRsp] = registers.sp;
  registers.general[qf::kRbp] = registers.fp;

  qf::StackWalkOptions options;
  options.scan = scan;
  options.inCode = [&dump](uint64_t address) { return dump.ModuleAt(address) != nullptr; };
  options.imageOf = [&module](const qf::MinidumpModule&) { return &module; };
  const std::vector<qf::StackFrame> frames = qf::WalkStack(dump, stack, registers, options);
  QF_CHECK(!frames.empty() && frames.size() <= qf::kMaxStackFrames);
  QF_CHECK(frames.front().foundBy == qf::StackFrame::FoundBy::Context);
  for (std::size_t i = 1; i < frames.size(); ++i) {
    QF_CHECK(stack.Contains(frames[i].slot, dump.WordSize()));
    if (scan) QF_CHECK(frames[i - 1].slot <= frames[i].slot || i == 1);
  }
  return 0;
}
