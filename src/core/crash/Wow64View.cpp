// Where a WOW64 thread keeps its 32-bit state, and the view built from it.
//
// The 64-bit TEB: TlsSlots (64 pointers) at 0x1480 in every 64-bit Windows
// from XP x64 to Windows 11 (the TEB64 layouts of the public symbols);
// WOW64 keeps its own data in the first slots, slot 1 (WOW64_TLS_CPURESERVED
// in the Windows Research Kernel's wow64tls.h) pointing at the thread's CPU
// area.
//
// The CPU area: Microsoft's documentation of WOW64_CONTEXT says that slot 1
// points at a structure holding the WOW64_CONTEXT at offset 4 on Windows
// Vista, 7, 8 and 8.1 (Server 2008 to 2012 R2), and names nothing of the 4
// bytes before it. From Windows 10 the structure is WOW64_CPURESERVED, two
// 16-bit words, Flags and Machine (0x014C for an x86 thread; what ntdll's
// RtlWow64GetCpuAreaInfo reads, as Wine's ntdll does too), followed by the
// context, at offset 4 for x86 (the 4-byte alignment of the i386 CONTEXT). So: a Machine of 0x014C is
// an x86 area; a Machine of 0 is taken for the older layout when the
// context's own ContextFlags carry CONTEXT_i386 (0x00010000); any other
// machine is not an x86 thread.
//
// The context is the i386 CONTEXT (WOW64_CONTEXT in winnt.h): ContextFlags
// at 0, ..., Edi 0x9C, Esi 0xA0, Ebx 0xA4, Edx 0xA8, Ecx 0xAC, Eax 0xB0,
// Ebp 0xB4, Eip 0xB8, SegCs, EFlags, Esp 0xC4.
//
// A thread stopped while it ran 32-bit code (suspended for a dump taken on
// demand) is no thread of the WOW64 layer: its 64-bit context is the
// processor's state in compatibility mode, CS 0x23 (0x20, the user-mode
// 32-bit code segment of 64-bit Windows' GDT, with RPL 3), whose low halves
// are its x86 registers; its CPU area holds the state of its last
// transition, gone by.
//
// The 32-bit TEB follows the 64-bit one at TEB + 0x2000 (the two pages of
// the 64-bit TEB; Windows 10's TEB64.WowTebOffset holds the same 0x2000);
// its NT_TIB gives the 32-bit stack: StackBase at +4, StackLimit at +8.
#include "crash/Wow64View.h"

#include <algorithm>
#include <array>
#include "base/NumberText.h"
#include "base/TextRules.h"
#include "crash/ContextLayout.h"

namespace qf {
namespace {

constexpr uint64_t kTlsSlots = 0x1480;
constexpr uint64_t kCpuReservedSlot = 1;
constexpr uint64_t kTeb32 = 0x2000;
constexpr uint64_t kStackBase32 = 4, kStackLimit32 = 8;
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint64_t kContextInArea = 4;
constexpr uint32_t kContextI386 = 0x00010000;
constexpr uint64_t kFourGb = uint64_t(1) << 32;

constexpr uint16_t kCompatibilityCs = 0x23;

std::string HexText(uint64_t value) { return "0x" + qf::HexText(value); }

// The little-endian word at an address of the dump's memory, else none.
std::optional<uint64_t> Read(const Minidump& dump, uint64_t address, unsigned size) {
  const auto block = dump.MemoryAt(address, size);
  return block ? dump.Word(*block, address, size) : std::nullopt;
}

// The 64-bit DLLs of the WOW64 layer, loaded into every WOW64 process.
bool IsWow64Layer(std::string_view name) {
  static const char* const kLayer[] = {"wow64.dll", "wow64win.dll", "wow64cpu.dll", "wow64base.dll", "wow64con.dll"};
  const std::string lower = LowerCase(name);
  return std::any_of(std::begin(kLayer), std::end(kLayer), [&](const char* l) { return lower == l; });
}

// The folder of a module's path, lower case ("c:\windows\syswow64").
std::string FolderOf(const MinidumpModule& module) {
  const size_t slash = module.path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : LowerCase(std::string_view(module.path).substr(0, slash));
}

bool InSysWow64(const MinidumpModule& module) {
  const std::string folder = FolderOf(module);
  return folder.size() >= 8 && folder.compare(folder.size() - 8, 8, "syswow64") == 0;
}

// The 32-bit modules: those below 4 GB but the WOW64 layer; of two modules
// of one name (ntdll.dll is loaded twice, the 64-bit one from System32 and
// the 32-bit one from SysWOW64, and before Windows 8 both below 4 GB), the
// one from SysWOW64.
std::vector<size_t> ModulesOfView(const Minidump& dump) {
  std::vector<size_t> kept;
  for (size_t i = 0; i < dump.modules.size(); ++i) {
    const MinidumpModule& m = dump.modules[i];
    if (m.base >= kFourGb || m.size > kFourGb - m.base || IsWow64Layer(m.Name())) continue;
    kept.push_back(i);
  }
  std::vector<size_t> view;
  for (const size_t i : kept) {
    const MinidumpModule& m = dump.modules[i];
    const bool twinInSysWow64 = std::any_of(kept.begin(), kept.end(), [&](size_t j) {
      return j != i && LowerCase(dump.modules[j].Name()) == LowerCase(m.Name()) && InSysWow64(dump.modules[j]);
    });
    if (!twinInSysWow64 || InSysWow64(m)) view.push_back(i);
  }
  return view;
}

// A thread's 32-bit state, or why it has none.
struct ThreadState {
  std::optional<MinidumpRegisters> registers;
  MinidumpMemory stack;
  std::string whyNot;
};

// The x86 registers of a 64-bit context of 32-bit code: their low halves.
MinidumpRegisters LowHalves(const MinidumpRegisters& wide) {
  MinidumpRegisters registers;
  for (unsigned i = 0; i < kX86Context.generalCount; ++i) registers.general[i] = wide.general[i] & 0xFFFFFFFF;
  registers.ip = wide.ip & 0xFFFFFFFF;
  registers.sp = wide.sp & 0xFFFFFFFF;
  registers.fp = wide.fp & 0xFFFFFFFF;
  registers.codeSegment = wide.codeSegment;
  return registers;
}

// The x86 registers in the thread's WOW64 CPU area, or why there are none.
std::optional<MinidumpRegisters> CpuAreaRegisters(const Minidump& dump, const MinidumpThread& thread,
                                                  std::string& whyNot) {
  if (thread.teb == 0) {
    whyNot = "the dump names no TEB of the thread";
    return std::nullopt;
  }
  const uint64_t slot = thread.teb + kTlsSlots + 8 * kCpuReservedSlot;
  const std::optional<uint64_t> area = Read(dump, slot, 8);
  if (!area) {
    whyNot = "its TEB at " + HexText(thread.teb) + " is not in the dump's memory";
    return std::nullopt;
  }
  if (*area == 0) {
    whyNot = "it has no WOW64 CPU area (a 64-bit thread)";
    return std::nullopt;
  }
  const auto block = dump.MemoryAt(*area, kContextInArea + kX86Context.needed);
  if (!block) {
    whyNot = "its WOW64 CPU area at " + HexText(*area) + " is not in the dump's memory";
    return std::nullopt;
  }
  const auto word = [&](uint64_t at, unsigned size) { return dump.Word(*block, at, size); };
  const std::optional<uint64_t> machine = word(*area + 2, 2);
  const std::optional<uint64_t> flags = word(*area + kContextInArea, 4);
  if (!machine || !flags) {
    whyNot = "its WOW64 CPU area at " + HexText(*area) + " lies past the end of the file";
    return std::nullopt;
  }
  if (*machine != kMachineI386 && !(*machine == 0 && (*flags & kContextI386))) {
    whyNot = "its WOW64 CPU area at " + HexText(*area) + " is of machine " + HexText(*machine) + ", not x86 (0x14C)";
    return std::nullopt;
  }
  const uint64_t context = *area + kContextInArea;
  MinidumpRegisters registers;
  const ContextLayout& layout = kX86Context;
  for (unsigned i = 0; i < layout.generalCount; ++i)
    registers.general[i] = word(context + layout.general[i], 4).value_or(0);
  registers.ip = word(context + layout.ip, 4).value_or(0);
  registers.sp = word(context + layout.sp, 4).value_or(0);
  registers.fp = word(context + layout.fp, 4).value_or(0);
  registers.codeSegment = uint16_t(word(context + layout.codeSegment, 2).value_or(0));
  return registers;
}

// The thread's 32-bit state. wide: the 64-bit context it was stopped in
// (the exception's for the crashed thread). A thread stopped in 32-bit code
// (CS 0x23, the compatibility-mode code segment of user mode) has its x86
// registers there, and its CPU area holds the state of its last call into
// the WOW64 layer, gone by; any other is in the WOW64 layer, and its CPU
// area holds its 32-bit state.
ThreadState ReadThreadState(const Minidump& dump, const MinidumpThread& thread,
                            const std::optional<MinidumpRegisters>& wide) {
  ThreadState state;
  if (wide && wide->codeSegment == kCompatibilityCs)
    state.registers = LowHalves(*wide);
  else
    state.registers = CpuAreaRegisters(dump, thread, state.whyNot);
  if (!state.registers) return state;
  const MinidumpRegisters& registers = *state.registers;

  // The 32-bit stack: the block of memory that holds ESP, within the
  // bounds of the 32-bit TEB where the dump holds it.
  state.stack.start = registers.sp;
  const auto held = dump.MemoryAt(registers.sp, 4);
  if (!held) return state;
  uint64_t low = held->start, high = held->start + held->size;
  const std::optional<uint64_t> base = thread.teb ? Read(dump, thread.teb + kTeb32 + kStackBase32, 4) : std::nullopt;
  const std::optional<uint64_t> limit = thread.teb ? Read(dump, thread.teb + kTeb32 + kStackLimit32, 4) : std::nullopt;
  if (base && limit && *limit <= registers.sp && registers.sp < *base) {
    low = std::max(low, *limit);
    high = std::min(high, *base);
  }
  state.stack = {low, high - low, held->offset + (low - held->start)};
  return state;
}

}  // namespace

bool IsWow64Dump(const Minidump& dump) {
  if (dump.processor != Minidump::Processor::Amd64) return false;
  return std::any_of(dump.modules.begin(), dump.modules.end(), [](const MinidumpModule& m) {
    const std::string name = LowerCase(m.Name());
    return name == "wow64cpu.dll" || name == "wow64.dll";
  });
}

Wow64View ReadWow64View(const Minidump& dump) {
  Wow64View view;
  view.dump.processor = Minidump::Processor::X86;
  view.dump.memory = dump.memory;
  view.dump.leftOut = dump.leftOut;
  view.dump.file = dump.file;
  view.moduleOf = ModulesOfView(dump);
  for (const size_t i : view.moduleOf) view.dump.modules.push_back(dump.modules[i]);
  for (const MinidumpThread& thread : dump.threads) {
    const bool crashed = dump.exception && dump.exception->threadId == thread.id;
    ThreadState state = ReadThreadState(dump, thread, crashed ? dump.exception->registers : thread.registers);
    view.whyNot.push_back(state.whyNot);
    if (!state.whyNot.empty()) continue;
    MinidumpThread x86;
    x86.id = thread.id;
    x86.teb = thread.teb ? thread.teb + kTeb32 : 0;
    x86.registers = state.registers;
    x86.stack = state.stack;
    view.dump.threads.push_back(x86);
  }
  if (dump.exception) {
    MinidumpException exception = *dump.exception;
    const MinidumpThread* thread = view.dump.Thread(exception.threadId);
    exception.registers = thread ? thread->registers : std::nullopt;
    view.dump.exception = exception;
  }
  return view;
}

}  // namespace qf
