// dbghelp's answers for an executable bound to its PDB (found beside it by
// the CodeView record), loaded at its preferred base, compared with those
// given; FILE by its file name:
//   dbghelp_check IMAGE [ADDRESS FUNCTION FILE LINE]...
#include <windows.h>

#include <dbghelp.h>

#include <cstdio>
#include <string>

namespace {

std::wstring FileNameOf(const std::wstring& path) { return path.substr(path.find_last_of(L"\\/") + 1); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2 || (argc - 2) % 4 != 0) return 2;  // usage: see above
  const HANDLE process = GetCurrentProcess();
  const std::wstring image = argv[1], folder = image.substr(0, image.find_last_of(L"\\/") + 1);
  SymSetOptions(SYMOPT_LOAD_LINES | SYMOPT_FAIL_CRITICAL_ERRORS | SYMOPT_INCLUDE_32BIT_MODULES);  // both bitnesses
  if (!SymInitializeW(process, folder.empty() ? L"." : folder.c_str(), FALSE)) return 2;
  const DWORD64 base = SymLoadModuleExW(process, nullptr, image.c_str(), nullptr, 0, 0, nullptr, 0);
  IMAGEHLP_MODULEW64 module{};
  module.SizeOfStruct = sizeof module;
  if (base == 0 || !SymGetModuleInfoW64(process, base, &module) || module.SymType != SymPdb)
    return std::fwprintf(stderr, L"no PDB loaded for %ls (symbol type %d)\n", image.c_str(), int(module.SymType)), 1;
  int failures = 0;
  for (int i = 2; i + 4 <= argc; i += 4) {
    const DWORD64 address = std::wcstoull(argv[i], nullptr, 16);
    union {
      SYMBOL_INFOW info;
      char room[sizeof(SYMBOL_INFOW) + 1024 * sizeof(wchar_t)];
    } symbol{};
    symbol.info.SizeOfStruct = sizeof(SYMBOL_INFOW);
    symbol.info.MaxNameLen = 1024;
    DWORD64 offset = 0;
    const std::wstring function = SymFromAddrW(process, address, &offset, &symbol.info) ? symbol.info.Name : L"(none)";
    IMAGEHLP_LINEW64 line{};
    line.SizeOfStruct = sizeof line;
    DWORD column = 0;
    const bool hasLine = SymGetLineFromAddrW64(process, address, &column, &line);
    const std::wstring file = hasLine ? FileNameOf(line.FileName) : L"(none)";
    const DWORD number = hasLine ? line.LineNumber : 0;
    const bool same = function == argv[i + 1] && _wcsicmp(file.c_str(), FileNameOf(argv[i + 2]).c_str()) == 0 &&
                      number == std::wcstoul(argv[i + 3], nullptr, 10);
    std::wprintf(L"%ls %ls %ls: %ls %ls:%lu (expected %ls:%ls)\n", same ? L"ok  " : L"FAIL", FileNameOf(image).c_str(),
                 argv[i], function.c_str(), file.c_str(), number, argv[i + 2], argv[i + 3]);
    failures += same ? 0 : 1;
  }
  SymCleanup(process);
  return failures == 0 ? 0 : 1;
}
