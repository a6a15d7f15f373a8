/* CrashLib.dll: two calls deep below its entry, a write through a null pointer. */
#include <stddef.h>

#include "CrashLib.h"

__attribute__((noinline)) void LibWriteNull(void **returns, int depth) {
  volatile int *target = NULL;
  returns[depth] = __builtin_return_address(0);
  *target = 0x5EED;
}

__attribute__((noinline)) void LibStep(void **returns, int depth) {
  returns[depth] = __builtin_return_address(0);
  LibWriteNull(returns, depth + 1);
}

__declspec(dllexport) __attribute__((noinline)) void CrashLibEnter(void **returns, int depth) {
  returns[depth] = __builtin_return_address(0);
  LibStep(returns, depth + 1);
}
