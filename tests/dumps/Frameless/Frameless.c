/* Frameless.exe DUMPFILE: the x86-64 crash program built with -O2
   -fomit-frame-pointer, as release builds are. Loads FrameLib.dll away from
   its preferred base, calls main -> Outer -> Middle -> Inner -> FrameEnter
   (FrameLib) -> FrameMix -> FrameCallLast -> FrameLeaf, which writes through
   a null pointer. A vectored exception handler writes a minidump to
   DUMPFILE and prints what a reader of the dump should find:

     module Frameless.exe 0x0000000140000000   load base of each module
     module FrameLib.dll 0x00000000003C0000
     thread 32                                 id of the crashing thread
     exception 0xC0000005 0x...                code and address
     parameters 0x... 0x...
     frame 0 0x...                             the faulting instruction
     frame 1 0x...                             return addresses, innermost first
     ...

   The return addresses down to main's own come from __builtin_return_address
   in each function; those of main's callers (the C run-time start-up, then
   the system's thread start) from RtlCaptureStackBackTrace in main.

   Exit status: 42 when the dump was written, 43 when it was not, 2 for a
   usage error or when the library cannot be loaded. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>
#include <dbghelp.h>

#include "FrameLib.h"

/* Outer, Middle, Inner, then FrameLib's functions. */
#define APP_DEPTH 3
#define DEPTH (APP_DEPTH + FRAMELIB_DEPTH)
#define MAX_CALLERS 16

static const char *g_dumpPath;
static HMODULE g_lib;
static void *g_returns[DEPTH];
static FrameEnterFn g_enter;
static void *g_mainReturn;
static void *g_callers[MAX_CALLERS]; /* main's return address, then its callers' */
static USHORT g_callerCount;

static void PrintLine(const char *label, ULONG_PTR value) {
  printf("%s 0x%016llX\n", label, (unsigned long long)value);
}

static LONG WINAPI WriteDumpFilter(EXCEPTION_POINTERS *info) {
  MINIDUMP_EXCEPTION_INFORMATION exception;
  HANDLE file;
  BOOL written = FALSE;
  char label[32];
  int i, n = 0;

  exception.ThreadId = GetCurrentThreadId();
  exception.ExceptionPointers = info;
  exception.ClientPointers = FALSE;
  file = CreateFileA(g_dumpPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file != INVALID_HANDLE_VALUE) {
    written = MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal,
                                &exception, NULL, NULL);
    CloseHandle(file);
  }

  PrintLine("module Frameless.exe", (ULONG_PTR)GetModuleHandleA(NULL));
  PrintLine("module FrameLib.dll", (ULONG_PTR)g_lib);
  printf("thread %lu\n", (unsigned long)GetCurrentThreadId());
  printf("exception 0x%08lX", (unsigned long)info->ExceptionRecord->ExceptionCode);
  printf(" 0x%016llX\n", (unsigned long long)(ULONG_PTR)info->ExceptionRecord->ExceptionAddress);
  printf("parameters");
  for (i = 0; i < (int)info->ExceptionRecord->NumberParameters; ++i)
    printf(" 0x%016llX", (unsigned long long)info->ExceptionRecord->ExceptionInformation[i]);
  printf("\n");
  PrintLine("frame 0", (ULONG_PTR)info->ExceptionRecord->ExceptionAddress);
  for (i = DEPTH - 1; i >= 0; --i) {
    snprintf(label, sizeof label, "frame %d", ++n);
    PrintLine(label, (ULONG_PTR)g_returns[i]);
  }
  if (g_callerCount == 0 || g_callers[0] != g_mainReturn)
    fprintf(stderr, "Frameless: RtlCaptureStackBackTrace does not start at main's return address\n");
  for (i = 0; i < g_callerCount; ++i) {
    snprintf(label, sizeof label, "frame %d", ++n);
    PrintLine(label, (ULONG_PTR)g_callers[i]);
  }
  fflush(stdout);
  if (!written) fprintf(stderr, "Frameless: the dump could not be written (error %lu)\n", GetLastError());
  ExitProcess(written ? 42 : 43);
  return EXCEPTION_EXECUTE_HANDLER;
}

/* Each level keeps values alive across its call, so that -O2 saves
   non-volatile registers (general and XMM) in its prolog and restores them
   in its epilog, and does not turn the call into a jump. */
__attribute__((noinline)) int Inner(int depth, int seed) {
  volatile char buffer[200];
  int result;
  g_returns[depth] = __builtin_return_address(0);
  buffer[seed & 127] = (char)seed;
  result = g_enter(g_returns, depth + 1, seed + buffer[seed & 127]);
  return result + buffer[(seed + 1) & 127];
}

__attribute__((noinline)) int Middle(int depth, int seed) {
  int a = seed * 7, b = seed ^ 0x3C, c = seed + 11, d = seed * seed, result;
  g_returns[depth] = __builtin_return_address(0);
  result = Inner(depth + 1, a + b);
  return result + a * b + c * d + (a ^ c) + (b ^ d);
}

__attribute__((noinline)) double Outer(int depth, double x) {
  double a = x * 1.25, b = x + 2.5, c = x * x, d = x - 0.75;
  int result;
  g_returns[depth] = __builtin_return_address(0);
  result = Middle(depth + 1, (int)(a + b));
  return result + a * b + c * d + a / (b + 1.0) + c / (d + 3.0);
}

/* The preferred base of FrameLib.dll (its --image-base): reserved first, so
   that the loader has to move the library. */
#define LIB_PREFERRED_BASE ((void *)0x180000000ULL)

int main(int argc, char **argv) {
  double answer;
  if (argc != 2) {
    fprintf(stderr, "usage: Frameless DUMPFILE\n");
    return 2;
  }
  g_mainReturn = __builtin_return_address(0);
  g_callerCount = RtlCaptureStackBackTrace(1, MAX_CALLERS, g_callers, NULL);
  /* Wine's goes on past the thread's first frame: a null return address ends it. */
  for (USHORT i = 0; i < g_callerCount; ++i)
    if (g_callers[i] == NULL) g_callerCount = i;
  g_dumpPath = argv[1];
  if (VirtualAlloc(LIB_PREFERRED_BASE, 0x100000, MEM_RESERVE, PAGE_NOACCESS) == NULL) {
    fprintf(stderr, "Frameless: cannot reserve the library's preferred base (error %lu)\n", GetLastError());
    return 2;
  }
  g_lib = LoadLibraryA("FrameLib.dll");
  if (g_lib == NULL) {
    fprintf(stderr, "Frameless: cannot load FrameLib.dll (error %lu)\n", GetLastError());
    return 2;
  }
  g_enter = (FrameEnterFn)(void (*)(void))GetProcAddress(g_lib, FRAMELIB_ENTER_NAME);
  if (g_enter == NULL) {
    fprintf(stderr, "Frameless: FrameLib.dll has no %s\n", FRAMELIB_ENTER_NAME);
    return 2;
  }
  /* A vectored handler: Windows' own dispatch of the exception would have to
     unwind through FrameCallLast, whose return address lies past its end. */
  AddVectoredExceptionHandler(1, WriteDumpFilter);
  answer = Outer(0, argc * 1.5);
  printf("%f\n", answer);
  return 0;
}
