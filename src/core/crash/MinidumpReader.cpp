// The minidump format, little-endian throughout. Each structure is read at
// its file offset (its RVA) only after the offset and length were checked
// against the file.
#include "crash/MinidumpReader.h"

#include "crash/ContextLayout.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>

namespace qf {
namespace {

constexpr uint32_t kSignature = 0x504D444D;  // "MDMP"
constexpr uint32_t kHeaderSize = 32;
constexpr uint32_t kDirectoryEntrySize = 12;

enum StreamType : uint32_t {
  kThreadList = 3,
  kModuleList = 4,
  kMemoryList = 5,
  kException = 6,
  kSystemInfo = 7,
  kMemory64List = 9,
};

constexpr uint32_t kThreadSize = 48;
constexpr uint32_t kModuleSize = 108;
constexpr uint32_t kMemoryDescriptorSize = 16;
constexpr uint32_t kMemoryDescriptor64Size = 16;
constexpr uint32_t kExceptionStreamSize = 168;
constexpr uint32_t kMaxExceptionParameters = 15;
constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
constexpr uint32_t kMaxStringBytes = 65536;

// Processor architectures of the SystemInfo stream.
constexpr uint16_t kArchitectureX86 = 0;
constexpr uint16_t kArchitectureAmd64 = 9;


[[noreturn]] void Damaged(const std::string& what) { throw MinidumpError("damaged minidump: " + what); }

std::string Decimal(uint64_t value) { return std::to_string(value); }

// A region of the file: [offset, offset + size).
struct Location {
  uint64_t offset = 0, size = 0;
};

// The dump's file: its size and little-endian reads of regions checked
// against it.
class File {
 public:
  explicit File(std::shared_ptr<const MinidumpFile> file) : file_(std::move(file)) {}

  uint64_t Size() const { return file_->Size(); }
  bool Holds(uint64_t offset, uint64_t size) const { return file_->Holds(offset, size); }
  bool Holds(const Location& at) const { return Holds(at.offset, at.size); }
  // The region, or the error naming what lies past the end.
  Location Require(uint64_t offset, uint64_t size, const std::string& what) const {
    if (!Holds(offset, size)) Damaged(what + " lies past the end of the file");
    return {offset, size};
  }

  // Readers of a region already checked.
  uint16_t U16(uint64_t at) const { return uint16_t(Byte(at) | Byte(at + 1) << 8); }
  uint32_t U32(uint64_t at) const { return uint32_t(U16(at)) | uint32_t(U16(at + 2)) << 16; }
  uint64_t U64(uint64_t at) const { return uint64_t(U32(at)) | uint64_t(U32(at + 4)) << 32; }
  uint64_t Word(uint64_t at, unsigned size) const { return size == 8 ? U64(at) : U32(at); }

  // A MINIDUMP_LOCATION_DESCRIPTOR (DataSize, Rva) at `at`.
  Location LocationAt(uint64_t at) const { return {U32(at + 4), U32(at)}; }

  const std::shared_ptr<const MinidumpFile>& Shared() const { return file_; }

 private:
  uint32_t Byte(uint64_t at) const { return file_->Byte(at); }
  std::shared_ptr<const MinidumpFile> file_;
};

void AppendUtf8(std::string& text, uint32_t c) {
  if (c < 0x80) {
    text += char(c);
  } else if (c < 0x800) {
    text += char(0xC0 | c >> 6);
    text += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    text += char(0xE0 | c >> 12);
    text += char(0x80 | (c >> 6 & 0x3F));
    text += char(0x80 | (c & 0x3F));
  } else {
    text += char(0xF0 | c >> 18);
    text += char(0x80 | (c >> 12 & 0x3F));
    text += char(0x80 | (c >> 6 & 0x3F));
    text += char(0x80 | (c & 0x3F));
  }
}

// A MINIDUMP_STRING (a length in bytes, then UTF-16 LE) as UTF-8; a lone
// surrogate becomes U+FFFD.
std::string ReadString(const File& file, uint64_t rva, const std::string& what) {
  file.Require(rva, 4, what);
  const uint32_t length = file.U32(rva);
  file.Require(rva + 4, length, what);
  // A module's path is at most 32,767 UTF-16 units: a longer name is damage,
  // not a name to be read into memory from a large dump.
  if (length > kMaxStringBytes) Damaged(what + " holds " + Decimal(length) + " bytes, more than " + Decimal(kMaxStringBytes));
  std::string text;
  const uint64_t units = length / 2;
  for (uint64_t i = 0; i < units; ++i) {
    uint32_t c = file.U16(rva + 4 + 2 * i);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units) {
      const uint32_t low = file.U16(rva + 4 + 2 * (i + 1));
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      } else {
        c = 0xFFFD;
      }
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    AppendUtf8(text, c);
  }
  return text;
}

// The entries of a list stream: a 4-byte count, then count entries of
// entrySize bytes. Some writers put 4 bytes of padding after the count; a stream exactly that much longer is read past them.
struct ListEntries {
  uint64_t count = 0;
  uint64_t first = 0;  // file offset of the first entry
};

ListEntries ReadList(const File& file, const Location& stream, uint64_t entrySize, const std::string& what,
                     const std::string& entries) {
  if (stream.size < 4) Damaged(what + " is shorter than its count");
  const uint64_t count = file.U32(stream.offset);
  const uint64_t room = stream.size - 4;
  if (count > room / entrySize)
    Damaged(what + " counts " + Decimal(count) + " " + entries + ", more than its " + Decimal(stream.size) +
            " bytes hold");
  uint64_t first = stream.offset + 4;
  if (room == count * entrySize + 4) first += 4;
  return {count, first};
}

class Reader {
 public:
  explicit Reader(std::shared_ptr<const MinidumpFile> file) : file_(std::move(file)) {}

  Minidump Read() {
    dump_.file = file_.Shared();
    ReadDirectory();
    if (!systemInfo_) throw MinidumpError("damaged minidump: it has no SystemInfo stream (the processor is unknown)");
    ReadSystemInfo(*systemInfo_);
    if (memoryList_) ReadMemoryList(*memoryList_);
    if (memory64List_) ReadMemory64List(*memory64List_);
    if (threadList_) ReadThreadList(*threadList_);
    if (moduleList_) ReadModuleList(*moduleList_);
    if (exception_) ReadException(*exception_);
    return std::move(dump_);
  }

 private:
  void ReadDirectory() {
    if (file_.Size() < 4 || file_.U32(0) != kSignature) throw MinidumpError("not a minidump (no MDMP signature)");
    file_.Require(0, kHeaderSize, "the header");
    const uint32_t streams = file_.U32(8);
    const uint32_t directory = file_.U32(12);
    file_.Require(directory, uint64_t(streams) * kDirectoryEntrySize, "the stream directory");
    for (uint32_t i = 0; i < streams; ++i) {
      const uint64_t entry = directory + uint64_t(i) * kDirectoryEntrySize;
      const uint32_t type = file_.U32(entry);
      const Location at = file_.LocationAt(entry + 4);
      std::optional<Location>* slot = nullptr;
      switch (type) {
        case kThreadList: slot = &threadList_; break;
        case kModuleList: slot = &moduleList_; break;
        case kMemoryList: slot = &memoryList_; break;
        case kException: slot = &exception_; break;
        case kSystemInfo: slot = &systemInfo_; break;
        case kMemory64List: slot = &memory64List_; break;
        default: continue;  // a stream this reader does not need
      }
      if (*slot) continue;  // the first of each kind counts
      file_.Require(at.offset, at.size, StreamName(type));
      *slot = at;
    }
  }

  static std::string StreamName(uint32_t type) {
    switch (type) {
      case kThreadList: return "the thread list";
      case kModuleList: return "the module list";
      case kMemoryList: return "the memory list";
      case kException: return "the exception stream";
      case kSystemInfo: return "the system information";
      default: return "the 64-bit memory list";
    }
  }

  void ReadSystemInfo(const Location& at) {
    if (at.size < 2) Damaged("the system information is shorter than its processor architecture");
    const uint16_t architecture = file_.U16(at.offset);
    if (architecture == kArchitectureX86) {
      dump_.processor = Minidump::Processor::X86;
    } else if (architecture == kArchitectureAmd64) {
      dump_.processor = Minidump::Processor::Amd64;
    } else {
      throw MinidumpError("the minidump is of a processor architecture " + Decimal(architecture) +
                          "; only x86 (0) and AMD64 (9) are read");
    }
  }

  void ReadMemoryList(const Location& at) {
    const ListEntries list = ReadList(file_, at, kMemoryDescriptorSize, "the memory list", "blocks");
    for (uint64_t i = 0; i < list.count; ++i) {
      const uint64_t entry = list.first + i * kMemoryDescriptorSize;
      if (const auto block = MemoryDescriptor(entry, "memory block " + Decimal(i) + " of the memory list"))
        dump_.memory.push_back(*block);
    }
  }

  void ReadMemory64List(const Location& at) {
    const std::string what = "the 64-bit memory list";
    if (at.size < 16) Damaged(what + " is shorter than its header");
    // The count and the offset of the first block's bytes; the blocks' bytes
    // follow one another from there.
    const uint64_t count = file_.U64(at.offset);
    uint64_t offset = file_.U64(at.offset + 8);
    if (count > (at.size - 16) / kMemoryDescriptor64Size)
      Damaged(what + " counts " + Decimal(count) + " blocks, more than its " + Decimal(at.size) + " bytes hold");
    for (uint64_t i = 0; i < count; ++i) {
      const uint64_t entry = at.offset + 16 + i * kMemoryDescriptor64Size;
      const uint64_t start = file_.U64(entry), size = file_.U64(entry + 8);
      if (!file_.Holds(offset, size)) {
        // The blocks that follow lie further on.
        LeftOut("memory block " + Decimal(i) + " of " + what);
        break;
      }
      dump_.memory.push_back({start, size, offset});
      offset += size;
    }
  }

  // The bytes of the process's memory are not needed to name the crash:
  // a block that lies past the end of the file (a dump cut short) is left
  // out and noted.
  void LeftOut(const std::string& what) {
    dump_.leftOut.push_back(what + " lies past the end of the file");
  }

  // The block of a MINIDUMP_MEMORY_DESCRIPTOR (start, then a location) at
  // `entry`; none when it is left out.
  std::optional<MinidumpMemory> MemoryDescriptor(uint64_t entry, const std::string& what) {
    const Location at = file_.LocationAt(entry + 8);
    if (!file_.Holds(at)) {
      LeftOut(what);
      return std::nullopt;
    }
    return MinidumpMemory{file_.U64(entry), at.size, at.offset};
  }

  MinidumpRegisters Registers(const Location& at, const std::string& what) const {
    const ContextLayout& layout = dump_.processor == Minidump::Processor::X86 ? kX86Context : kAmd64Context;
    // Every register read must lie inside: on x86 Esp comes after Eip.
    const uint64_t needed = uint64_t(std::max({layout.ip, layout.sp, layout.fp})) + layout.word;
    file_.Require(at.offset, at.size, what);
    if (at.size < needed) Damaged(what + " holds " + Decimal(at.size) + " bytes, fewer than " + Decimal(needed));
    MinidumpRegisters registers;
    registers.ip = file_.Word(at.offset + layout.ip, layout.word);
    registers.sp = file_.Word(at.offset + layout.sp, layout.word);
    registers.fp = file_.Word(at.offset + layout.fp, layout.word);
    // All of them lie before the instruction pointer (x86: before Esp).
    for (unsigned i = 0; i < layout.generalCount; ++i)
      registers.general[i] = file_.Word(at.offset + layout.general[i], layout.word);
    // SegCs lies before the instruction pointer too (x86: before Esp).
    registers.codeSegment = file_.U16(at.offset + layout.codeSegment);
    return registers;
  }

  void ReadThreadList(const Location& at) {
    const ListEntries list = ReadList(file_, at, kThreadSize, "the thread list", "threads");
    for (uint64_t i = 0; i < list.count; ++i) {
      const uint64_t entry = list.first + i * kThreadSize;
      MinidumpThread thread;
      thread.id = file_.U32(entry);
      thread.teb = file_.U64(entry + 16);
      const std::string name = "thread " + Decimal(thread.id);
      // The stack: its own bytes, or (in a full-memory dump, without them)
      // the block of the memory lists that holds it.
      const uint64_t stackStart = file_.U64(entry + 24);
      const Location stack = file_.LocationAt(entry + 32);
      if (stack.offset != 0 && stack.size != 0) {
        const auto own = MemoryDescriptor(entry + 24, "the stack of " + name);
        thread.stack = own ? *own : MinidumpMemory{stackStart, 0, 0};
      } else if (const auto held = dump_.MemoryAt(stackStart, stack.size)) {
        thread.stack = {stackStart, stack.size, held->offset + (stackStart - held->start)};
      } else {
        thread.stack.start = stackStart;
      }
      thread.registers = Registers(file_.LocationAt(entry + 40), "the context of " + name);
      dump_.threads.push_back(thread);
    }
  }

  void ReadModuleList(const Location& at) {
    const ListEntries list = ReadList(file_, at, kModuleSize, "the module list", "modules");
    for (uint64_t i = 0; i < list.count; ++i) {
      const uint64_t entry = list.first + i * kModuleSize;
      MinidumpModule module;
      module.base = file_.U64(entry);
      module.size = file_.U32(entry + 8);
      module.timeDateStamp = file_.U32(entry + 16);
      module.path = ReadString(file_, file_.U32(entry + 20), "the name of module " + Decimal(i));
      // VS_FIXEDFILEINFO: signature, structure version, file version MS, LS.
      const uint64_t info = entry + 24;
      if (file_.U32(info) == kFixedFileInfoSignature) {
        const uint32_t ms = file_.U32(info + 8), ls = file_.U32(info + 12);
        module.version = Decimal(ms >> 16) + "." + Decimal(ms & 0xFFFF) + "." + Decimal(ls >> 16) + "." +
                         Decimal(ls & 0xFFFF);
      }
      dump_.modules.push_back(std::move(module));
    }
  }

  void ReadException(const Location& at) {
    if (at.size < kExceptionStreamSize) Damaged("the exception stream is shorter than its record");
    MinidumpException exception;
    exception.threadId = file_.U32(at.offset);
    const uint64_t record = at.offset + 8;
    exception.code = file_.U32(record);
    exception.address = file_.U64(record + 16);
    const uint32_t parameters = file_.U32(record + 24);
    if (parameters > kMaxExceptionParameters)
      Damaged("the exception record counts " + Decimal(parameters) + " parameters, more than 15");
    for (uint32_t i = 0; i < parameters; ++i) exception.parameters.push_back(file_.U64(record + 32 + 8 * i));
    exception.registers = Registers(file_.LocationAt(at.offset + 160), "the context of the exception");
    dump_.exception = std::move(exception);
  }

  File file_;
  Minidump dump_;
  std::optional<Location> threadList_, moduleList_, memoryList_, exception_, systemInfo_, memory64List_;
};

}  // namespace

Minidump ReadMinidump(std::string_view bytes) {
  return ReadMinidump(std::make_unique<MemoryRandomAccessReader>(bytes));
}

Minidump ReadMinidump(std::unique_ptr<RandomAccessReader> file) {
  return Reader(std::make_shared<const MinidumpFile>(std::move(file))).Read();
}

}  // namespace qf
