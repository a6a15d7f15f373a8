/* CrashApp.exe DUMPFILE: loads CrashLib.dll away from its preferred base,
   calls three functions deep, then into the library, which writes through a
   null pointer. The unhandled-exception filter writes a minidump of the crash
   to DUMPFILE and prints what a reader of the dump should find:

     module CrashApp.exe 0x00400000      load base of each module
     module CrashLib.dll 0x00320000
     thread 32                           id of the crashing thread
     exception 0xC0000005 0x0032140C     code and address
     parameters 0x00000001 0x00000000    access violation: a write to 0
     frame 0 0x0032140C                  the faulting instruction
     frame 1 0x00321437                  return addresses, innermost first
     ...
     frame 7 0x0040138E                  main's, into the C runtime

   Exit status: 42 when the dump was written, 43 when it was not, 2 for a
   usage error or when the library cannot be loaded. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>
#include <dbghelp.h>

#include "CrashLib.h"

/* Levels below main: Level1, Level2, Level3, CrashLibEnter, LibStep,
   LibWriteNull; each writes its return address. */
#define DEPTH 6

static const char *g_dumpPath;
static HMODULE g_lib;
static void *g_returns[DEPTH];
static CrashLibEnterFn g_enter;
static void *g_mainReturn; /* into the C runtime's start-up code */

/* " 0x" and the value in as many digits as an address has. */
static void PrintWord(ULONG_PTR value) {
  printf(" 0x%0*llX", (int)(2 * sizeof(void *)), (unsigned long long)value);
}

static void PrintLine(const char *label, ULONG_PTR value) {
  printf("%s", label);
  PrintWord(value);
  printf("\n");
}

static LONG WINAPI WriteDumpFilter(EXCEPTION_POINTERS *info) {
  MINIDUMP_EXCEPTION_INFORMATION exception;
  HANDLE file;
  BOOL written = FALSE;
  char label[32];
  int i;

  exception.ThreadId = GetCurrentThreadId();
  exception.ExceptionPointers = info;
  exception.ClientPointers = FALSE;
  file = CreateFileA(g_dumpPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file != INVALID_HANDLE_VALUE) {
    written = MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal,
                                &exception, NULL, NULL);
    CloseHandle(file);
  }

  PrintLine("module CrashApp.exe", (ULONG_PTR)GetModuleHandleA(NULL));
  PrintLine("module CrashLib.dll", (ULONG_PTR)g_lib);
  printf("thread %lu\n", (unsigned long)GetCurrentThreadId());
  printf("exception 0x%08lX", (unsigned long)info->ExceptionRecord->ExceptionCode);
  PrintLine("", (ULONG_PTR)info->ExceptionRecord->ExceptionAddress);
  printf("parameters");
  for (i = 0; i < (int)info->ExceptionRecord->NumberParameters; ++i) {
    PrintWord(info->ExceptionRecord->ExceptionInformation[i]);
  }
  printf("\n");
  PrintLine("frame 0", (ULONG_PTR)info->ExceptionRecord->ExceptionAddress);
  for (i = 0; i < DEPTH; ++i) {
    snprintf(label, sizeof label, "frame %d", i + 1);
    PrintLine(label, (ULONG_PTR)g_returns[DEPTH - 1 - i]);
  }
  snprintf(label, sizeof label, "frame %d", DEPTH + 1);
  PrintLine(label, (ULONG_PTR)g_mainReturn);
  fflush(stdout);
  if (!written) fprintf(stderr, "CrashApp: the dump could not be written (error %lu)\n", GetLastError());
  ExitProcess(written ? 42 : 43);
  return EXCEPTION_EXECUTE_HANDLER;
}

__attribute__((noinline)) void Level3(int depth) {
  g_returns[depth] = __builtin_return_address(0);
  g_enter(g_returns, depth + 1);
}

__attribute__((noinline)) void Level2(int depth) {
  g_returns[depth] = __builtin_return_address(0);
  Level3(depth + 1);
}

__attribute__((noinline)) void Level1(int depth) {
  g_returns[depth] = __builtin_return_address(0);
  Level2(depth + 1);
}

/* The preferred base of CrashLib.dll (its --image-base): reserved first, so
   that the loader has to move the library. */
#ifdef _WIN64
#define LIB_PREFERRED_BASE ((void *)0x180000000ULL)
#else
#define LIB_PREFERRED_BASE ((void *)0x10000000UL)
#endif

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: CrashApp DUMPFILE\n");
    return 2;
  }
  g_mainReturn = __builtin_return_address(0);
  g_dumpPath = argv[1];
  if (VirtualAlloc(LIB_PREFERRED_BASE, 0x100000, MEM_RESERVE, PAGE_NOACCESS) == NULL) {
    fprintf(stderr, "CrashApp: cannot reserve the library's preferred base (error %lu)\n", GetLastError());
    return 2;
  }
  g_lib = LoadLibraryA("CrashLib.dll");
  if (g_lib == NULL) {
    fprintf(stderr, "CrashApp: cannot load CrashLib.dll (error %lu)\n", GetLastError());
    return 2;
  }
  g_enter = (CrashLibEnterFn)(void (*)(void))GetProcAddress(g_lib, CRASHLIB_ENTER_NAME);
  if (g_enter == NULL) {
    fprintf(stderr, "CrashApp: CrashLib.dll has no %s\n", CRASHLIB_ENTER_NAME);
    return 2;
  }
  SetUnhandledExceptionFilter(WriteDumpFilter);
  Level1(0);
  return 0;
}
