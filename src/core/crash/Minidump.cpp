// The questions asked of a read minidump.
#include "crash/Minidump.h"

namespace qf {

std::string_view MinidumpModule::Name() const {
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string_view(path) : std::string_view(path).substr(slash + 1);
}

const MinidumpModule* Minidump::ModuleAt(uint64_t address) const {
  for (const MinidumpModule& module : modules)
    if (module.Contains(address)) return &module;
  return nullptr;
}

const MinidumpThread* Minidump::Thread(uint32_t id) const {
  for (const MinidumpThread& thread : threads)
    if (thread.id == id) return &thread;
  return nullptr;
}

std::optional<MinidumpMemory> Minidump::MemoryAt(uint64_t address, uint64_t length) const {
  for (const MinidumpMemory& block : memory)
    if (block.Contains(address, length)) return block;
  return std::nullopt;
}

std::optional<std::string_view> ExceptionCodeName(uint32_t code) {
  switch (code) {
    case 0xC0000005: return "access violation";
    case 0xC00000FD: return "stack overflow";
    case 0xC0000094: return "integer divide by zero";
    case 0xC0000095: return "integer overflow";
    case 0xC000008E: return "floating-point divide by zero";
    case 0xC000001D: return "illegal instruction";
    case 0xC0000096: return "privileged instruction";
    case 0xC0000374: return "heap corruption";
    case 0xC0000409: return "stack buffer overrun";
    case 0x80000003: return "breakpoint";
    case 0x0EEDFADE: return "Delphi exception";
    case 0xE06D7363: return "C++ exception";
    default: return std::nullopt;
  }
}

}  // namespace qf
