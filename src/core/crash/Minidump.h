// What a Windows minidump tells about a crashed process: the processor, the
// modules with their load bases and versions, the exception, the threads
// with their registers and stacks, and the memory the dump holds. Filled by
// ReadMinidump (MinidumpReader.h); the memory views point into the dump's
// bytes, which the caller keeps alive.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qf {

// The registers a stack walk needs, from a thread's CONTEXT record.
struct MinidumpRegisters {
  uint64_t ip = 0;  // EIP / RIP
  uint64_t sp = 0;  // ESP / RSP
  uint64_t fp = 0;  // EBP / RBP
  // The general registers in the processor's numbering (the one of the x64
  // unwind codes): RAX, RCX, RDX, RBX, RSP, RBP, RSI, RDI, R8 to R15; in an
  // x86 dump EAX to EDI and R8 to R15 zero.
  std::array<uint64_t, 16> general{};
};

struct MinidumpModule {
  uint64_t base = 0;
  uint64_t size = 0;  // SizeOfImage
  std::string path;                    // as the dump names it (UTF-8)
  std::optional<std::string> version;  // "1.2.3.4" from its fixed file version
  // With SizeOfImage, the identity of the image (its file header's TimeDateStamp).
  uint32_t timeDateStamp = 0;
  uint32_t checkSum = 0;

  // The file name: the path after its last "\" or "/".
  std::string_view Name() const;
  bool Contains(uint64_t address) const { return address >= base && address - base < size; }
};

// A block of the process's memory held in the dump.
struct MinidumpMemory {
  uint64_t start = 0;
  std::string_view bytes;

  bool Contains(uint64_t address, uint64_t length) const {
    return address >= start && address - start <= bytes.size() && bytes.size() - (address - start) >= length;
  }
};

struct MinidumpThread {
  uint32_t id = 0;
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

  // 4 for x86, 8 for AMD64.
  unsigned WordSize() const { return processor == Processor::X86 ? 4 : 8; }
  // The module whose image holds the address, else null.
  const MinidumpModule* ModuleAt(uint64_t address) const;
  const MinidumpThread* Thread(uint32_t id) const;
  // The block of memory that holds [address, address + length), else none.
  std::optional<MinidumpMemory> MemoryAt(uint64_t address, uint64_t length) const;
};

// The name of an exception code ("access violation"), else none.
std::optional<std::string_view> ExceptionCodeName(uint32_t code);

}  // namespace qf
