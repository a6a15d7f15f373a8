// What a Windows minidump tells about a crashed process: the processor, the
// modules with their load bases, identities and versions, the exception, the
// threads with their registers and stacks, and where the memory the dump
// holds lies in its file. Filled by ReadMinidump (MinidumpReader.h); the
// bytes of memory are read from the file (kept open) when they are asked for.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/FileSystem.h"

namespace qf {

// The dump's file read in place, through a few cached pages (at most
// kPages of kPageSize bytes): the reader reads its structures byte by byte,
// the stack walk word by word, and only the pages they touch are read. Bytes
// held in memory are read directly. The cache makes one dump a thing of one
// thread at a time.
class MinidumpFile {
 public:
  explicit MinidumpFile(std::unique_ptr<RandomAccessReader> reader);
  MinidumpFile(const MinidumpFile&) = delete;
  MinidumpFile& operator=(const MinidumpFile&) = delete;

  uint64_t Size() const { return size_; }
  bool Holds(uint64_t offset, uint64_t size) const { return offset <= size_ && size <= size_ - offset; }
  // A byte the caller checked lies inside (Holds).
  uint8_t Byte(uint64_t at) const {
    if (memory_) return static_cast<uint8_t>(memory_[at]);
    const uint64_t page = at / kPageSize;
    if (page != lastPage_) Load(page);
    return static_cast<uint8_t>(pages_[lastSlot_].bytes[size_t(at % kPageSize)]);
  }
  // Copies [offset, offset + size), which the caller checked lies inside.
  void Copy(uint64_t offset, char* out, size_t size) const;

  static constexpr size_t kPageSize = 64 * 1024;
  static constexpr size_t kPages = 16;

 private:
  struct Page {
    uint64_t index = ~uint64_t(0);
    std::string bytes;
  };
  void Load(uint64_t page) const;

  std::unique_ptr<RandomAccessReader> reader_;
  const char* memory_ = nullptr;  // the bytes, when they are held in memory
  uint64_t size_ = 0;
  mutable std::array<Page, kPages> pages_;
  mutable uint64_t lastPage_ = ~uint64_t(0);
  mutable size_t lastSlot_ = 0;
  mutable size_t nextSlot_ = 0;
};

// The registers a stack walk needs, from a thread's CONTEXT record.
struct MinidumpRegisters {
  uint64_t ip = 0;  // EIP / RIP
  uint64_t sp = 0;  // ESP / RSP
  uint64_t fp = 0;  // EBP / RBP
  // The general registers in the processor's numbering (the one of the x64
  // unwind codes): RAX, RCX, RDX, RBX, RSP, RBP, RSI, RDI, R8 to R15; in an
  // x86 dump EAX to EDI and R8 to R15 zero.
  std::array<uint64_t, 16> general{};
  // SegCs: on AMD64 0x33 in 64-bit code, 0x23 in the 32-bit code of a
  // process under WOW64.
  uint16_t codeSegment = 0;
};

struct MinidumpModule {
  uint64_t base = 0;
  uint64_t size = 0;  // SizeOfImage
  std::string path;                    // as the dump names it (UTF-8)
  std::optional<std::string> version;  // "1.2.3.4" from its fixed file version
  // The identity of the module's build, with size (its SizeOfImage): its
  // image's TimeDateStamp.
  uint32_t timeDateStamp = 0;

  // The file name: the path after its last "\" or "/".
  std::string_view Name() const;
  bool Contains(uint64_t address) const { return address >= base && address - base < size; }
};

// A block of the process's memory held in the dump: [start, start + size)
// of the process, whose bytes lie at offset in the dump's file (checked
// against its size when read).
struct MinidumpMemory {
  uint64_t start = 0;
  uint64_t size = 0;
  uint64_t offset = 0;

  bool Contains(uint64_t address, uint64_t length) const {
    return address >= start && address - start <= size && size - (address - start) >= length;
  }
};

struct MinidumpThread {
  uint32_t id = 0;
  uint64_t teb = 0;                            // the address of its TEB (0: not named)
  std::optional<MinidumpRegisters> registers;  // none when its context is unreadable
  MinidumpMemory stack;                        // empty when the dump holds none
};

struct MinidumpException {
  uint32_t threadId = 0;
  uint32_t code = 0;
  uint64_t address = 0;
  std::vector<uint64_t> parameters;
  std::optional<MinidumpRegisters> registers;  // the context at the exception
};

struct Minidump {
  enum class Processor { X86, Amd64 };
  Processor processor = Processor::X86;
  std::vector<MinidumpModule> modules;  // in the dump's order
  std::optional<MinidumpException> exception;
  std::vector<MinidumpThread> threads;  // in the dump's order
  std::vector<MinidumpMemory> memory;   // MemoryList and Memory64List blocks
  // What was left out of a dump cut short: a thread's stack or a block of
  // memory whose bytes lie past the end of the file ("the stack of thread 7
  // lies past the end of the file"); everything else read is whole.
  std::vector<std::string> leftOut;
  // The file the memory blocks lie in; null for a dump made by hand.
  std::shared_ptr<const MinidumpFile> file;

  // 4 for x86, 8 for AMD64.
  unsigned WordSize() const { return processor == Processor::X86 ? 4 : 8; }
  // The module whose image holds the address, else null.
  const MinidumpModule* ModuleAt(uint64_t address) const;
  const MinidumpThread* Thread(uint32_t id) const;
  // The block of memory that holds [address, address + length), else none.
  std::optional<MinidumpMemory> MemoryAt(uint64_t address, uint64_t length) const;
  // The little-endian word of `size` bytes (at most 8) at `address` of the
  // block; none when the block or the file does not hold it.
  std::optional<uint64_t> Word(const MinidumpMemory& block, uint64_t address, unsigned size) const;
  // The bytes of the block (read from the file now); empty when the file
  // does not hold them.
  std::string Bytes(const MinidumpMemory& block) const;
};

// The name of an exception code ("access violation"), else none.
std::optional<std::string_view> ExceptionCodeName(uint32_t code);

}  // namespace qf
