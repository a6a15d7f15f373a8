// What dbghelp answers for an executable bound to its PDB: loads the image
// (its PDB found by the CodeView record, in the image's folder) and compares
// the function and source line of each address with the answers given:
//   dbghelp_check IMAGE [RVA FUNCTION FILE LINE]...
// FILE is compared by its file name. Exit status 0 when every answer matches.
#include <windows.h>

#include <dbghelp.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

std::wstring FileNameOf(const std::wstring& path) { return path.substr(path.find_last_of(L"\\/") + 1); }

int Check(const wchar_t* image, int count, wchar_t** answers) {
  const HANDLE process = GetCurrentProcess();
  SymSetOptions(SYMOPT_LOAD_LINES | SYMOPT_FAIL_CRITICAL_ERRORS | SYMOPT_DEBUG);
  std::wstring folder(image);
  folder = folder.substr(0, folder.find_last_of(L"\\/") + 1);
  if (folder.empty()) folder = L".";
  if (!SymInitializeW(process, folder.c_str(), FALSE)) {
    std::fwprintf(stderr, L"SymInitializeW failed: %lu\n", GetLastError());
    return 2;
  }
  const DWORD64 base = SymLoadModuleExW(process, nullptr, image, nullptr, 0, 0, nullptr, 0);
  if (base == 0) {
    std::fwprintf(stderr, L"SymLoadModuleExW(%ls) failed: %lu\n", image, GetLastError());
    return 2;
  }
  IMAGEHLP_MODULEW64 module{};
  module.SizeOfStruct = sizeof module;
  if (!SymGetModuleInfoW64(process, base, &module) || module.SymType != SymPdb) {
    std::fwprintf(stderr, L"no PDB loaded for %ls (symbol type %d, PDB %ls)\n", image, int(module.SymType),
                  module.LoadedPdbName);
    return 1;
  }
  std::wprintf(L"loaded %ls at 0x%llx\n", module.LoadedPdbName, static_cast<unsigned long long>(base));
  int failures = 0;
  for (int i = 0; i + 4 <= count; i += 4) {
    const DWORD64 address = base + std::wcstoull(answers[i], nullptr, 16);
    std::vector<char> buffer(sizeof(SYMBOL_INFOW) + 1024 * sizeof(wchar_t));
    auto* symbol = reinterpret_cast<SYMBOL_INFOW*>(buffer.data());
    symbol->SizeOfStruct = sizeof(SYMBOL_INFOW);
    symbol->MaxNameLen = 1024;
    DWORD64 displacement = 0;
    const std::wstring function = SymFromAddrW(process, address, &displacement, symbol) ? symbol->Name : L"(none)";
    IMAGEHLP_LINEW64 line{};
    line.SizeOfStruct = sizeof line;
    DWORD lineDisplacement = 0;
    std::wstring file = L"(none)";
    DWORD lineNumber = 0;
    if (SymGetLineFromAddrW64(process, address, &lineDisplacement, &line)) {
      file = FileNameOf(line.FileName);
      lineNumber = line.LineNumber;
    }
    const bool same = function == answers[i + 1] && _wcsicmp(file.c_str(), FileNameOf(answers[i + 2]).c_str()) == 0 &&
                      lineNumber == std::wcstoul(answers[i + 3], nullptr, 10);
    std::wprintf(L"%ls %ls: %ls %ls:%lu (expected %ls %ls:%ls)\n", same ? L"ok  " : L"FAIL", answers[i],
                 function.c_str(), file.c_str(), lineNumber, answers[i + 1], answers[i + 2], answers[i + 3]);
    failures += same ? 0 : 1;
  }
  SymCleanup(process);
  return failures == 0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2 || (argc - 2) % 4 != 0) {
    std::fwprintf(stderr, L"usage: dbghelp_check IMAGE [RVA FUNCTION FILE LINE]...\n");
    return 2;
  }
  return Check(argv[1], argc - 2, argv + 2);
}
