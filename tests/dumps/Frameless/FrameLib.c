/* FrameLib.dll: the crashing half of Frameless.exe, built without frame
   pointers. FrameEnter -> FrameMix -> FrameCallLast -> FrameLeaf, where
   FrameCallLast (hand-written below) ends with its call, so that its return
   address is the first byte of FrameLeaf, and FrameLeaf is a leaf without an
   unwind entry that writes through the null pointer it is given. */
#include <stddef.h>

#include "FrameLib.h"

void **g_libReturns;
int g_libDepth;

/* FrameCallLast(p): sub rsp, 0x28; stores its return address at
   g_libReturns[g_libDepth]; call FrameLeaf, which never returns. No
   instruction follows the call: the next byte is FrameLeaf's.
   FrameLeaf(p): stores its return address at g_libReturns[g_libDepth + 1]
   and writes 0x5EED to *p; no RUNTIME_FUNCTION covers it (no .seh_proc), as
   for a hand-written leaf. */
__asm__(
    ".text\n"
    ".p2align 4\n"
    ".globl FrameCallLast\n"
    ".def FrameCallLast; .scl 2; .type 32; .endef\n"
    ".seh_proc FrameCallLast\n"
    "FrameCallLast:\n"
    "  subq $0x28, %rsp\n"
    "  .seh_stackalloc 0x28\n"
    "  .seh_endprologue\n"
    "  movq 0x28(%rsp), %rax\n"
    "  movq g_libReturns(%rip), %rdx\n"
    "  movslq g_libDepth(%rip), %r8\n"
    "  movq %rax, (%rdx,%r8,8)\n"
    "  call FrameLeaf\n"
    "  .seh_endproc\n"
    ".globl FrameLeaf\n"
    ".def FrameLeaf; .scl 2; .type 32; .endef\n"
    "FrameLeaf:\n"
    "  movq (%rsp), %rax\n"
    "  movq g_libReturns(%rip), %rdx\n"
    "  movslq g_libDepth(%rip), %r8\n"
    "  movq %rax, 8(%rdx,%r8,8)\n"
    "  movl $0x5EED, (%rcx)\n"
    "  ret\n");

void FrameCallLast(volatile int *target);

/* Keeps non-volatile registers and a local array busy, so that the prolog
   pushes registers and allocates stack. */
__attribute__((noinline)) int FrameMix(void **returns, int depth, int seed) {
  volatile int local[12];
  int a = seed, b = seed * 3, c = seed ^ 0x55, i;
  returns[depth] = __builtin_return_address(0);
  for (i = 0; i < 12; ++i) local[i] = a + i * b;
  g_libReturns = returns;
  g_libDepth = depth + 1;
  FrameCallLast((volatile int *)(size_t)(local[3] & 0));
  return a + b + c + local[5];
}

__declspec(dllexport) __attribute__((noinline)) int FrameEnter(void **returns, int depth, int seed) {
  volatile double scale = seed * 1.5;
  int result;
  returns[depth] = __builtin_return_address(0);
  result = FrameMix(returns, depth + 1, seed + 1);
  return result + (int)scale;
}
