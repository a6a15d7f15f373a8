/* DelphiRaise.exe DUMPFILE KIND TYPE: raises an exception exactly as the
 * Delphi or C++Builder run-time does and writes a minidump of it at its
 * first chance (a vectored exception handler, as a debugger writes one),
 * then exits with 42 (43: the dump could not be written).
 *
 * KIND: d2009  an EConvertError whose class table follows Delphi 2009's
 *              layout (self pointer at -88, name at -56), its message a
 *              UnicodeString, raised by RaiseExcept (Delphi's _RaiseExcept,
 *              in assembly: RaiseException(0x0EEDFADE, 1, 7, args))
 *       d2007  an EFOpenError whose table follows Delphi 2007's layout
 *              (-76, -44), its message an AnsiString, raised the same way
 *       cpp    a C++Builder C++ throw: RaiseException(0x0EEFFACE, 1, 3,
 *              {type name, throw address, object})
 * TYPE: the MiniDumpWriteDump type (0 MiniDumpNormal, 2 MiniDumpWithFullMemory).
 * Prints "thread ID", "raise ADDRESS", "object ADDRESS", "message ADDRESS".
 * The class tables lie in the image (.rdata), the objects and messages on
 * the heap, as a Delphi program's do.
 */
#include <windows.h>
#include <dbghelp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static const char *dumpFile;
static DWORD dumpType;
static void *messageAt;

/* Delphi 2009's class table: 22 words before the table's address
 * (vmtSelfPtr -88 ... vmtDestroy -4), then the virtual methods. */
#define D2009_BEFORE 22
#define D2007_BEFORE 19
typedef void *Vmt2009[D2009_BEFORE + 1];
typedef void *Vmt2007[D2007_BEFORE + 1];

static const char nameTObject[] = "\x07TObject";
static const char nameException[] = "\x09" "Exception";
static const char nameEConvertError[] = "\x0D" "EConvertError";
static const char nameEStreamError[] = "\x0C" "EStreamError";
static const char nameEFOpenError[] = "\x0B" "EFOpenError";

extern const Vmt2009 vmtTObject9, vmtException9, vmtEConvertError9;
extern const Vmt2007 vmtTObject7, vmtException7, vmtEStreamError7, vmtEFOpenError7;
/* vmtParent points to a cell that holds the parent's table (the import
 * indirection of a package). */
static const void *const parentException9 = &vmtTObject9[D2009_BEFORE];
static const void *const parentEConvertError9 = &vmtException9[D2009_BEFORE];
static const void *const parentException7 = &vmtTObject7[D2007_BEFORE];
static const void *const parentEStreamError7 = &vmtException7[D2007_BEFORE];
static const void *const parentEFOpenError7 = &vmtEStreamError7[D2007_BEFORE];

/* -88 self, -56 name (index 8), -52 instance size, -48 parent. */
#define VMT2009(self, name, size, parent) \
  { (void *)&self[D2009_BEFORE], 0, 0, 0, 0, 0, 0, 0, (void *)name, (void *)(size), (void *)(parent), 0 }
/* -76 self, -44 name (index 8), -40 instance size, -36 parent. */
#define VMT2007(self, name, size, parent) \
  { (void *)&self[D2007_BEFORE], 0, 0, 0, 0, 0, 0, 0, (void *)name, (void *)(size), (void *)(parent), 0 }

const Vmt2009 vmtTObject9 = VMT2009(vmtTObject9, nameTObject, 4, 0);
const Vmt2009 vmtException9 = VMT2009(vmtException9, nameException, 24, &parentException9);
const Vmt2009 vmtEConvertError9 = VMT2009(vmtEConvertError9, nameEConvertError, 24, &parentEConvertError9);
const Vmt2007 vmtTObject7 = VMT2007(vmtTObject7, nameTObject, 4, 0);
const Vmt2007 vmtException7 = VMT2007(vmtException7, nameException, 12, &parentException7);
const Vmt2007 vmtEStreamError7 = VMT2007(vmtEStreamError7, nameEStreamError, 12, &parentEStreamError7);
const Vmt2007 vmtEFOpenError7 = VMT2007(vmtEFOpenError7, nameEFOpenError, 12, &parentEFOpenError7);

/* Delphi 2009's UnicodeString: code page, element size, reference count
 * and length before the characters, a zero after them. */
static uint16_t *UnicodeString(const wchar_t *text) {
  const uint32_t length = (uint32_t)wcslen(text);
  uint8_t *block = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 12 + 2 * (length + 1));
  const uint16_t codePage = 1200, elementSize = 2;
  const int32_t references = 1;
  memcpy(block, &codePage, 2);
  memcpy(block + 2, &elementSize, 2);
  memcpy(block + 4, &references, 4);
  memcpy(block + 8, &length, 4);
  memcpy(block + 12, text, 2 * length);
  return (uint16_t *)(block + 12);
}

/* Delphi 2007's AnsiString: reference count and length, a zero after. */
static char *AnsiString(const char *text) {
  const uint32_t length = (uint32_t)strlen(text);
  uint8_t *block = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 8 + length + 1);
  const int32_t references = 1;
  memcpy(block, &references, 4);
  memcpy(block + 4, &length, 4);
  memcpy(block + 8, text, length);
  return (char *)(block + 8);
}

/* An object: its class table's address, then FMessage and the rest. */
static void **NewObject(const void *vmt, void *message, size_t size) {
  void **object = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
  object[0] = (void *)vmt;
  object[1] = message;
  messageAt = message;
  return object;
}

/* Delphi's _RaiseExcept: EAX the object, [ESP] the return address of the
 * program's call (the raise address). It takes the return address off,
 * pushes ESP (now the caller's after the return), EBP, EDI, ESI, EBX, the
 * object and the address as the 7 arguments, and jumps to RaiseException
 * with the raise address as its return address. */
void RaiseExcept(void);
__asm__(
    ".text\n"
    ".globl _RaiseExcept\n"
    "_RaiseExcept:\n"
    "  popl %edx\n"
    "  pushl %esp\n"
    "  pushl %ebp\n"
    "  pushl %edi\n"
    "  pushl %esi\n"
    "  pushl %ebx\n"
    "  pushl %eax\n"
    "  pushl %edx\n"
    "  pushl %esp\n"
    "  pushl $7\n"
    "  pushl $1\n"
    "  pushl $0x0EEDFADE\n"
    "  pushl %edx\n"
    "  jmp *__imp__RaiseException@16\n");

/* C++Builder's throw: the type's name, the throw address (the return
 * address of the call into it) and the object. */
__attribute__((noinline)) void ThrowCpp(const char *typeName, void *object) {
  ULONG_PTR args[3] = {(ULONG_PTR)typeName, (ULONG_PTR)__builtin_return_address(0), (ULONG_PTR)object};
  RaiseException(0x0EEFFACE, EXCEPTION_NONCONTINUABLE, 3, args);
}

/* `raise Object` as Delphi compiles it: MOV EAX, object; CALL _RaiseExcept. */
#define RAISE(object) __asm__ volatile("call _RaiseExcept" : : "a"(object) : "memory")

__attribute__((noinline)) int StrToIntStep(const wchar_t *text) {
  if (wcscmp(text, L"0") != 0) {
    uint16_t *message = UnicodeString(L"'abc' is not a valid integer value");
    RAISE(NewObject(&vmtEConvertError9[D2009_BEFORE], message, 24));
  }
  return 0;
}

__attribute__((noinline)) int Button1Click(const wchar_t *text) { return StrToIntStep(text) + 1; }

__attribute__((noinline)) void OpenStep(const char *file) {
  char text[300];
  snprintf(text, sizeof text, "Cannot open file \"%s\". The system cannot find the file specified", file);
  RAISE(NewObject(&vmtEFOpenError7[D2007_BEFORE], AnsiString(text), 12));
}

__attribute__((noinline)) void LoadSettings(const char *file) {
  OpenStep(file);
  puts("loaded");
}

__attribute__((noinline)) void CppStep(int depth) {
  if (depth == 0) {
    ThrowCpp("std::runtime_error", HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 16));
    return;
  }
  CppStep(depth - 1);
  puts("returned");
}

static LONG CALLBACK OnException(EXCEPTION_POINTERS *info) {
  const EXCEPTION_RECORD *record = info->ExceptionRecord;
  if (record->ExceptionCode != 0x0EEDFADE && record->ExceptionCode != 0x0EEFFACE) return EXCEPTION_CONTINUE_SEARCH;
  HANDLE file = CreateFileA(dumpFile, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  MINIDUMP_EXCEPTION_INFORMATION exception = {GetCurrentThreadId(), info, FALSE};
  if (file == INVALID_HANDLE_VALUE ||
      !MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, dumpType, &exception, NULL, NULL))
    ExitProcess(43);
  CloseHandle(file);
  const int cpp = record->ExceptionCode == 0x0EEFFACE;
  printf("thread %lu\n", GetCurrentThreadId());
  printf("raise 0x%08lX\n", (unsigned long)record->ExceptionInformation[cpp ? 1 : 0]);
  printf("object 0x%08lX\n", (unsigned long)record->ExceptionInformation[cpp ? 2 : 1]);
  printf("message 0x%08lX\n", (unsigned long)(uintptr_t)messageAt);
  fflush(stdout);
  ExitProcess(42);
}

int main(int argc, char **argv) {
  if (argc != 4) {
    fputs("usage: DelphiRaise.exe DUMPFILE d2009|d2007|cpp TYPE\n", stderr);
    return 2;
  }
  dumpFile = argv[1];
  dumpType = (DWORD)strtoul(argv[3], NULL, 0);
  AddVectoredExceptionHandler(1, OnException);
  if (strcmp(argv[2], "d2009") == 0) return Button1Click(L"abc");
  if (strcmp(argv[2], "d2007") == 0) LoadSettings("C:\\missing.ini");
  if (strcmp(argv[2], "cpp") == 0) CppStep(2);
  return 1;
}
