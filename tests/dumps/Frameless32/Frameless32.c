/* Frameless32.exe: a 32-bit program built with -O2 -fomit-frame-pointer
   whose crash lies deep in code that keeps no frame pointer. No test runs
   it (the test machine runs no 32-bit program): write_frameless32.sh runs it
   in an emulator and keeps its image, MAP file, minidump and true frames.

   main first recurses deeply and returns, leaving return addresses on the
   stack; then calls
     main -> Start -> VarStep (varargs, the caller pops its arguments)
     -> StdStep (stdcall: pops its own) -> FastStep (fastcall: ECX, EDX and
     one argument it pops) -> BigFrame (a 600-byte frame, mostly never
     written, so the recursion's return addresses stay in it) -> TableStep
     (called through a table of function pointers) -> AllocaStep (alloca)
     -> SaveAll (EBX, ESI, EDI and EBP all hold values across its call)
     -> Guarded (registers an exception handler at fs:[0] and calls on from
     inline assembly) -> GuardInner -> AsmGate (assembly that jumps into a
     body without a symbol of its own) -> Fault, which writes through a
     null pointer. Nothing on that path calls the system. */
#include <malloc.h>
#include <stdarg.h>

#define STEP __attribute__((noinline, noclone))

volatile int sink;
int *volatile nowhere;  /* null, read at run time */
volatile int which = 1;

STEP void Fault(volatile int *target, int value) { *target = value; }

/* AsmGate(target, value): saves EBX, then jumps over a small table into its
   body, which has no symbol of its own and calls Fault. */
int AsmGate(volatile int *target, int value);
__asm__(".text\n"
        ".p2align 4\n"
        ".globl _AsmGate\n"
        "_AsmGate:\n"
        "  pushl %ebx\n"
        "  movl 8(%esp), %ebx\n"
        "  jmp 1f\n"
        "  .long 0x11111111, 0x22222222, 0x33333333\n"
        "  .byte 0xCC, 0xCC, 0xCC\n"
        "1:\n"
        "  pushl 12(%esp)\n"
        "  pushl %ebx\n"
        "  call _Fault\n"
        "  addl $8, %esp\n"
        "  movl 12(%esp), %eax\n"
        "  popl %ebx\n"
        "  ret\n");

__attribute__((used)) STEP int GuardInner(volatile int *target, int value) {
  int r = AsmGate(target, value + 1);
  sink = r;
  return r + 1;
}

/* The handler a Delphi try block registers; the crash never reaches it. */
__attribute__((used)) int GuardHandler(void *record, void *frame, void *context, void *dispatch) {
  (void)record; (void)frame; (void)context; (void)dispatch;
  return 1;  /* ExceptionContinueSearch */
}

/* As Delphi's try: push the handler and the previous registration, make
   ESP the new head of the list at fs:[0], call on, unlink on return. */
STEP int Guarded(volatile int *target, int value) {
  int r;
  __asm__ volatile(
      "pushl $_GuardHandler\n\t"
      "pushl %%fs:0\n\t"
      "movl %%esp, %%fs:0\n\t"
      "pushl %2\n\t"
      "pushl %1\n\t"
      "call _GuardInner\n\t"
      "addl $8, %%esp\n\t"
      "popl %%fs:0\n\t"
      "addl $4, %%esp\n\t"
      : "=a"(r)
      : "r"(target), "r"(value)
      : "ecx", "edx", "memory", "cc");
  sink = r;
  return r + 2;
}

/* Five values live across the call: EBX, ESI, EDI and EBP all saved. */
STEP int SaveAll(volatile int *target, int a, int b, int c, int d) {
  int e = a * 3 + b, f = b * 5 + c, g = c * 7 + d, h = d * 11 + a, k = a ^ b ^ c ^ d;
  int r = Guarded(target, e + f);
  return r + e * f + g * h + k * (e - g) + (f ^ h) + a * b + c * d;
}

STEP int AllocaStep(volatile int *target, int n) {
  volatile int *buffer = alloca(n * sizeof(int));
  buffer[0] = n;
  buffer[n - 1] = n + 1;
  int r = SaveAll(target, n, n + 1, n + 2, buffer[0]);
  return r + buffer[n - 1];
}

typedef int (*Step)(volatile int *, int);
STEP int TableOther(volatile int *target, int value) { return value * 2 + (target != 0); }
STEP int TableStep(volatile int *target, int value) {
  int r = AllocaStep(target, value & 31 ? value & 31 : 7);
  sink = r;
  return r + value;
}
Step const table[] = {TableOther, TableStep};

/* 600 bytes of locals, of which only a few are written. */
STEP int BigFrame(volatile int *target, int value) {
  volatile int big[150];
  big[0] = value;
  big[149] = value + 1;
  int r = table[which](target, big[0]);
  return r + big[149];
}

__attribute__((fastcall)) STEP int FastStep(int a, volatile int *target, int b) {
  int r = BigFrame(target, a + b);
  sink = r;
  return r + a;
}

__attribute__((stdcall)) STEP int StdStep(volatile int *target, int a, int b) {
  int r = FastStep(a, target, b);
  sink = r;
  return r - b;
}

__attribute__((used)) STEP int VarStep(int count, ...) {
  va_list args;
  va_start(args, count);
  volatile int *target = va_arg(args, volatile int *);
  int sum = 0;
  for (int i = 1; i < count; ++i) sum += va_arg(args, int);
  va_end(args);
  int r = StdStep(target, sum, count);
  sink = r;
  return r + sum;
}

/* Calls VarStep as Delphi calls a cdecl routine: pushes the arguments, then
   removes them with add esp after the call. */
STEP int Start(int value) {
  int r;
  __asm__ volatile(
      "pushl %4\n\t"
      "pushl %3\n\t"
      "pushl %2\n\t"
      "pushl %1\n\t"
      "pushl $4\n\t"
      "call _VarStep\n\t"
      "addl $20, %%esp\n\t"
      : "=a"(r)
      : "r"(nowhere), "r"(value), "r"(value + 1), "r"(value + 2)
      : "ecx", "edx", "memory", "cc");
  sink = r;
  return r * 2;
}

/* Deep and finished before Start: its return addresses stay on the stack
   where the frames of Start and its callees leave words unwritten. */
STEP int Recurse(int n) {
  volatile int pad[3];
  pad[0] = n;
  if (n == 0) return pad[0];
  int r = Recurse(n - 1);
  sink = r;
  return r + pad[0];
}

int main(int argc, char **argv) {
  (void)argv;
  sink = Recurse(60 + argc);
  return Start(argc);
}
