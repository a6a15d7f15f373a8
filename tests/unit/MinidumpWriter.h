// A small Windows minidump written byte by byte for the reader's tests:
// header, stream directory, SystemInfo, ModuleList (names, fixed file
// versions), ThreadList (contexts, stacks), Exception (its context),
// MemoryList and Memory64List. Every byte of the result belongs to a
// structure the reader needs, so every shorter prefix is damaged.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qf::test {

struct DumpRegisters {
  uint64_t ip = 0, sp = 0, fp = 0;
};

struct DumpShape {
  bool is64 = false;
  struct Module {
    uint64_t base = 0;
    uint32_t size = 0;
    std::string path;  // ASCII, written as UTF-16
    std::optional<std::array<uint16_t, 4>> version;
    uint32_t timeDateStamp = 0;
  };
  std::vector<Module> modules;
  struct Thread {
    uint32_t id = 0;
    DumpRegisters registers;
    uint64_t stackStart = 0;
    std::string stack;         // its bytes
    uint32_t stackElsewhere = 0;  // without bytes: the size of a stack held in the memory lists
  };
  std::vector<Thread> threads;
  struct Exception {
    uint32_t threadId = 0;
    uint32_t code = 0;
    uint64_t address = 0;
    std::vector<uint64_t> parameters;
    DumpRegisters registers;
  };
  std::optional<Exception> exception;
  struct Block {
    uint64_t start = 0;
    std::string bytes;
  };
  std::vector<Block> memory;    // MemoryList
  std::vector<Block> memory64;  // Memory64List
};

// Where each structure was written: its name ("header", "directory",
// "system info", "module list", "module name 0", "thread list", "context 0",
// "stack 0", "exception", "exception context", "memory list", "memory 0",
// "memory64 list", "memory64 0") and file offset.
using DumpLayout = std::map<std::string, uint32_t>;

namespace dump_detail {

inline void Put(std::string& out, uint32_t at, uint64_t value, unsigned size) {
  for (unsigned i = 0; i < size; ++i) out[at + i] = static_cast<char>(value >> (8 * i) & 0xFF);
}

class Writer {
 public:
  // Appends size zero bytes named `name`; returns their offset.
  uint32_t Reserve(const std::string& name, size_t size) {
    const auto at = static_cast<uint32_t>(bytes.size());
    bytes.append(size, '\0');
    layout[name] = at;
    return at;
  }
  uint32_t Append(const std::string& name, const std::string& data) {
    const uint32_t at = Reserve(name, data.size());
    bytes.replace(at, data.size(), data);
    return at;
  }
  void Put(uint32_t at, uint64_t value, unsigned size) { dump_detail::Put(bytes, at, value, size); }

  std::string bytes;
  DumpLayout layout;
};

}  // namespace dump_detail

inline std::string WriteMinidump(const DumpShape& shape, DumpLayout* layoutOut = nullptr) {
  dump_detail::Writer w;
  const unsigned word = shape.is64 ? 8 : 4;
  const uint32_t contextSize = shape.is64 ? 0x4D0 : 0x2CC;
  struct Offsets {
    uint32_t ip, sp, fp;
  } const reg = shape.is64 ? Offsets{0xF8, 0x98, 0xA0} : Offsets{0xB8, 0xC4, 0xB4};
  auto context = [&](const std::string& name, const DumpRegisters& r) {
    const uint32_t at = w.Reserve(name, contextSize);
    w.Put(at + reg.ip, r.ip, word);
    w.Put(at + reg.sp, r.sp, word);
    w.Put(at + reg.fp, r.fp, word);
    return at;
  };

  std::vector<std::pair<uint32_t, uint32_t>> streams;  // type, offset of the entry's data
  const uint32_t streamCount = 3 + (shape.exception ? 1 : 0) + (shape.memory.empty() ? 0 : 1) +
                               (shape.memory64.empty() ? 0 : 1);
  const uint32_t header = w.Reserve("header", 32);
  w.Put(header, 0x504D444D, 4);
  w.Put(header + 4, 0xA793, 4);
  w.Put(header + 8, streamCount, 4);
  const uint32_t directory = w.Reserve("directory", 12 * streamCount);
  w.Put(header + 12, directory, 4);
  uint32_t entry = 0;
  auto stream = [&](uint32_t type, uint32_t at, size_t size) {
    const uint32_t e = directory + 12 * entry++;
    w.Put(e, type, 4);
    w.Put(e + 4, size, 4);
    w.Put(e + 8, at, 4);
  };

  const uint32_t systemInfo = w.Reserve("system info", 56);
  w.Put(systemInfo, shape.is64 ? 9 : 0, 2);
  stream(7, systemInfo, 56);

  const uint32_t moduleList = w.Reserve("module list", 4 + 108 * shape.modules.size());
  w.Put(moduleList, shape.modules.size(), 4);
  stream(4, moduleList, 4 + 108 * shape.modules.size());
  for (size_t i = 0; i < shape.modules.size(); ++i) {
    const DumpShape::Module& m = shape.modules[i];
    const uint32_t at = moduleList + 4 + 108 * uint32_t(i);
    w.Put(at, m.base, 8);
    w.Put(at + 8, m.size, 4);
    w.Put(at + 16, m.timeDateStamp, 4);
    if (m.version) {
      w.Put(at + 24, 0xFEEF04BD, 4);
      w.Put(at + 32, uint32_t((*m.version)[0]) << 16 | (*m.version)[1], 4);
      w.Put(at + 36, uint32_t((*m.version)[2]) << 16 | (*m.version)[3], 4);
    }
    const uint32_t name = w.Reserve("module name " + std::to_string(i), 4 + 2 * m.path.size());
    w.Put(name, 2 * m.path.size(), 4);
    for (size_t c = 0; c < m.path.size(); ++c) w.Put(name + 4 + 2 * uint32_t(c), uint8_t(m.path[c]), 2);
    w.Put(at + 20, name, 4);
  }

  const uint32_t threadList = w.Reserve("thread list", 4 + 48 * shape.threads.size());
  w.Put(threadList, shape.threads.size(), 4);
  stream(3, threadList, 4 + 48 * shape.threads.size());
  for (size_t i = 0; i < shape.threads.size(); ++i) {
    const DumpShape::Thread& t = shape.threads[i];
    const uint32_t at = threadList + 4 + 48 * uint32_t(i);
    w.Put(at, t.id, 4);
    w.Put(at + 24, t.stackStart, 8);
    const uint32_t ctx = context("context " + std::to_string(i), t.registers);
    w.Put(at + 40, contextSize, 4);
    w.Put(at + 44, ctx, 4);
    if (!t.stack.empty()) {
      const uint32_t stack = w.Append("stack " + std::to_string(i), t.stack);
      w.Put(at + 32, t.stack.size(), 4);
      w.Put(at + 36, stack, 4);
    } else {
      w.Put(at + 32, t.stackElsewhere, 4);
    }
  }

  if (shape.exception) {
    const DumpShape::Exception& e = *shape.exception;
    const uint32_t at = w.Reserve("exception", 168);
    stream(6, at, 168);
    w.Put(at, e.threadId, 4);
    w.Put(at + 8, e.code, 4);
    w.Put(at + 24, e.address, 8);
    w.Put(at + 32, e.parameters.size(), 4);
    for (size_t i = 0; i < e.parameters.size() && i < 15; ++i) w.Put(at + 40 + 8 * uint32_t(i), e.parameters[i], 8);
    const uint32_t ctx = context("exception context", e.registers);
    w.Put(at + 160, contextSize, 4);
    w.Put(at + 164, ctx, 4);
  }

  if (!shape.memory.empty()) {
    const uint32_t list = w.Reserve("memory list", 4 + 16 * shape.memory.size());
    w.Put(list, shape.memory.size(), 4);
    stream(5, list, 4 + 16 * shape.memory.size());
    for (size_t i = 0; i < shape.memory.size(); ++i) {
      const uint32_t bytes = w.Append("memory " + std::to_string(i), shape.memory[i].bytes);
      const uint32_t d = list + 4 + 16 * uint32_t(i);
      w.Put(d, shape.memory[i].start, 8);
      w.Put(d + 8, shape.memory[i].bytes.size(), 4);
      w.Put(d + 12, bytes, 4);
    }
  }

  if (!shape.memory64.empty()) {
    const uint32_t list = w.Reserve("memory64 list", 16 + 16 * shape.memory64.size());
    w.Put(list, shape.memory64.size(), 8);
    stream(9, list, 16 + 16 * shape.memory64.size());
    for (size_t i = 0; i < shape.memory64.size(); ++i) {
      const uint32_t bytes = w.Append("memory64 " + std::to_string(i), shape.memory64[i].bytes);
      if (i == 0) w.Put(list + 8, bytes, 8);
      w.Put(list + 16 + 16 * uint32_t(i), shape.memory64[i].start, 8);
      w.Put(list + 24 + 16 * uint32_t(i), shape.memory64[i].bytes.size(), 8);
    }
  }
  if (layoutOut) *layoutOut = w.layout;
  return w.bytes;
}

}  // namespace qf::test
