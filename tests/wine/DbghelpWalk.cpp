// dbghelp's StackWalk64 over an x86 minidump's thread (the exception's, else
// the first), memory read from the dump alone, one module of the dump given
// its image file (its PDB found beside it by the CodeView record, if any):
//   dbghelp_walk DUMP IMAGE
// Prints the dump's modules ("module BASE SIZE NAME") and the walk's frames
// ("frame N PC"), hexadecimal.
#include <windows.h>

#include <dbghelp.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::string dump;  // the whole file
std::vector<MINIDUMP_MEMORY_DESCRIPTOR> memory;

const void* Stream(ULONG type, ULONG* size) {
  MINIDUMP_DIRECTORY* entry = nullptr;
  void* at = nullptr;
  return MiniDumpReadDumpStream(dump.data(), type, &entry, &at, size) ? at : nullptr;
}

BOOL CALLBACK ReadDump(HANDLE, DWORD64 address, PVOID into, DWORD size, LPDWORD read) {
  for (const MINIDUMP_MEMORY_DESCRIPTOR& m : memory) {
    const DWORD64 start = m.StartOfMemoryRange;
    if (address < start || address + size > start + m.Memory.DataSize) continue;
    std::copy_n(dump.data() + m.Memory.Rva + (address - start), size, static_cast<char*>(into));
    *read = size;
    return TRUE;
  }
  return FALSE;
}

std::wstring NameAt(RVA rva) {
  const auto* name = reinterpret_cast<const MINIDUMP_STRING*>(dump.data() + rva);
  return std::wstring(name->Buffer, name->Length / sizeof(WCHAR));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;  // usage: see above
  std::ifstream in(argv[1], std::ios::binary);
  dump.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  ULONG size = 0;
  const auto* list = static_cast<const MINIDUMP_MEMORY_LIST*>(Stream(MemoryListStream, &size));
  const auto* threads = static_cast<const MINIDUMP_THREAD_LIST*>(Stream(ThreadListStream, &size));
  const auto* modules = static_cast<const MINIDUMP_MODULE_LIST*>(Stream(ModuleListStream, &size));
  if (list == nullptr || threads == nullptr || modules == nullptr || threads->NumberOfThreads == 0) {
    std::fwprintf(stderr, L"%ls: no memory, thread or module list\n", argv[1]);
    return 2;
  }
  memory.assign(list->MemoryRanges, list->MemoryRanges + list->NumberOfMemoryRanges);
  MINIDUMP_LOCATION_DESCRIPTOR where = threads->Threads[0].ThreadContext;
  if (const auto* e = static_cast<const MINIDUMP_EXCEPTION_STREAM*>(Stream(ExceptionStream, &size))) where = e->ThreadContext;
  CONTEXT context{};
  std::copy_n(dump.data() + where.Rva, std::min<size_t>(where.DataSize, sizeof context), reinterpret_cast<char*>(&context));

  const HANDLE process = GetCurrentProcess();
  const std::wstring image = argv[2], file = image.substr(image.find_last_of(L"\\/") + 1);
  const std::wstring folder = image.substr(0, image.size() - file.size());
  SymSetOptions(SYMOPT_FAIL_CRITICAL_ERRORS | SYMOPT_INCLUDE_32BIT_MODULES);
  if (!SymInitializeW(process, folder.empty() ? L"." : folder.c_str(), FALSE)) return 2;
  bool loaded = false;
  for (ULONG i = 0; i < modules->NumberOfModules; ++i) {
    const MINIDUMP_MODULE& m = modules->Modules[i];
    const std::wstring name = NameAt(m.ModuleNameRva);
    std::wprintf(L"module %llX %lX %ls\n", m.BaseOfImage, m.SizeOfImage, name.c_str());
    if (_wcsicmp(name.substr(name.find_last_of(L"\\/") + 1).c_str(), file.c_str()) == 0) {
      loaded = SymLoadModuleExW(process, nullptr, image.c_str(), nullptr, m.BaseOfImage, m.SizeOfImage, nullptr, 0) != 0;
    }
  }
  if (!loaded) {
    std::fwprintf(stderr, L"%ls: the dump has no module %ls, or dbghelp does not load it\n", argv[1], file.c_str());
    return 2;
  }

  STACKFRAME64 frame{};
  frame.AddrPC.Offset = context.Eip;
  frame.AddrFrame.Offset = context.Ebp;
  frame.AddrStack.Offset = context.Esp;
  frame.AddrPC.Mode = frame.AddrFrame.Mode = frame.AddrStack.Mode = AddrModeFlat;
  // No thread handle: the walk asks the thread for nothing (the dump's is no live one).
  for (int n = 0; n < 200 && StackWalk64(IMAGE_FILE_MACHINE_I386, process, nullptr, &frame, &context, ReadDump,
                                         SymFunctionTableAccess64, SymGetModuleBase64, nullptr);
       ++n) {
    if (frame.AddrPC.Offset == 0) break;
    std::wprintf(L"frame %d %llX\n", n, frame.AddrPC.Offset);
  }
  SymCleanup(process);
  return 0;
}
