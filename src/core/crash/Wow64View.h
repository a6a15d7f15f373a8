// The 32-bit view of a 64-bit dump of a 32-bit process. On 64-bit Windows a
// 32-bit program runs under WOW64; a 64-bit tool that dumps it (Task
// Manager's "Create dump file", 64-bit ProcDump, a debugger) writes an AMD64
// dump whose thread contexts are those of the 64-bit side, stopped in the
// WOW64 layer (wow64cpu.dll). Each thread's 32-bit registers lie in the
// dump's memory, in the WOW64 CPU area its 64-bit TEB points at, and its
// 32-bit stack is bounded by its 32-bit TEB. The view gathers them into an
// x86 Minidump that the stack walk walks as it walks a 32-bit dump.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "crash/Minidump.h"

namespace qf {

struct Wow64View {
  // Processor X86; the dump's 32-bit modules (below 4 GB, without the WOW64
  // layer's own 64-bit DLLs); the dump's file and memory blocks; the threads
  // with a 32-bit view, each with its x86 registers and its 32-bit stack;
  // the exception (where the dump has one) with its address, its parameters
  // and the 32-bit registers of its thread (none when that thread has no
  // 32-bit view).
  Minidump dump;
  // For each module of the view, its index in the 64-bit dump.
  std::vector<size_t> moduleOf;
  // For each thread of the 64-bit dump, in its order: empty when the thread
  // is in the view, else why not ("its WOW64 CPU area at 0x... is not in the
  // dump's memory").
  std::vector<std::string> whyNot;

  bool HasThread(size_t nativeThread) const { return whyNot[nativeThread].empty(); }
};

// Whether the dump is an AMD64 dump of a 32-bit process: it holds the WOW64
// layer (a module wow64cpu.dll or wow64.dll).
bool IsWow64Dump(const Minidump& dump);

// The 32-bit view of a dump that IsWow64Dump accepts; reads only what the
// dump's memory holds, each read checked.
Wow64View ReadWow64View(const Minidump& dump);

}  // namespace qf
