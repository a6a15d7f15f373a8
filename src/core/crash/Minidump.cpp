// The questions asked of a read minidump.
#include "crash/Minidump.h"

#include <algorithm>

namespace qf {

MinidumpFile::MinidumpFile(std::unique_ptr<RandomAccessReader> reader) : reader_(std::move(reader)) {
  size_ = reader_->Size();
  if (const auto* memory = dynamic_cast<const MemoryRandomAccessReader*>(reader_.get()))
    memory_ = memory->Bytes().data();
}

void MinidumpFile::Load(uint64_t page) const {
  for (size_t slot = 0; slot < kPages; ++slot) {
    if (pages_[slot].index == page) {
      lastPage_ = page;
      lastSlot_ = slot;
      return;
    }
  }
  // The slots are reused in turn: the reader's reads run through the file
  // from its directory to its streams, the walk's along one stack.
  Page& fresh = pages_[nextSlot_];
  fresh.index = ~uint64_t(0);
  fresh.bytes.resize(kPageSize);
  const size_t got = reader_->ReadAt(page * kPageSize, &fresh.bytes[0], kPageSize);
  // A file that shrank since it was opened reads as zeros.
  std::fill(fresh.bytes.begin() + std::ptrdiff_t(got), fresh.bytes.end(), '\0');
  fresh.index = page;
  lastPage_ = page;
  lastSlot_ = nextSlot_;
  nextSlot_ = (nextSlot_ + 1) % kPages;
}

void MinidumpFile::Copy(uint64_t offset, char* out, size_t size) const {
  if (memory_) {
    std::copy(memory_ + offset, memory_ + offset + size, out);
    return;
  }
  for (size_t i = 0; i < size; ++i) out[i] = char(Byte(offset + i));
}

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

std::optional<uint64_t> Minidump::Word(const MinidumpMemory& block, uint64_t address, unsigned size) const {
  if (size > 8 || !block.Contains(address, size) || !file) return std::nullopt;
  const uint64_t at = block.offset + (address - block.start);
  if (at < block.offset || !file->Holds(at, size)) return std::nullopt;
  uint64_t value = 0;
  for (unsigned i = size; i-- > 0;) value = value << 8 | file->Byte(at + i);
  return value;
}

std::string Minidump::Bytes(const MinidumpMemory& block) const {
  if (!file || !file->Holds(block.offset, block.size)) return std::string();
  std::string bytes(size_t(block.size), '\0');
  file->Copy(block.offset, &bytes[0], bytes.size());
  return bytes;
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
    // The Delphi run-time's notifications to a debugger.
    case 0x0EEDFADF: return "Delphi re-raise";
    case 0x0EEDFAE0: return "Delphi except notification";
    case 0x0EEDFAE1: return "Delphi finally notification";
    case 0x0EEDFAE2: return "Delphi terminate notification";
    case 0x0EEDFAE3: return "Delphi unhandled exception notification";
    case 0x0EEDFAE4: return "Delphi non-Delphi exception notification";
    case 0x0EEDFAE5: return "Delphi exit-finally notification";
    case 0x0EEFFACE: return "C++Builder exception";
    case 0xE0465043: return "Free Pascal exception";
    case 0xE06D7363: return "C++ exception";
    default: return std::nullopt;
  }
}

}  // namespace qf
