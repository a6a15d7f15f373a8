/* Checked32.exe: a 32-bit program built with -O2 -fomit-frame-pointer, whose
   image the stack-walk tests read (no test runs it; no 32-bit program can
   run on the test machine). main -> Outer, which keeps a frame pointer ->
   Middle, without one -> Leaf, without one; Middle keeps the address of
   Callback in a local, a code pointer that no call precedes. The tests
   write a stack as this program would have it when Leaf faults, with the
   call sites write_sites.sh reads from the disassembly. */
#include <stdio.h>

typedef int (*Handler)(int);

__attribute__((noinline)) int Callback(int value) { return value * 3 + 1; }

__attribute__((noinline)) int Leaf(volatile int *target, int value) {
  *target = value;
  return value + 1;
}

__attribute__((noinline)) int Middle(volatile int *target, int value) {
  volatile Handler handler = Callback;
  int result = Leaf(target, value + 2);
  return result + handler(value);
}

__attribute__((noinline, optimize("no-omit-frame-pointer"))) int Outer(volatile int *target, int value) {
  volatile int local[4] = {value, value + 1, value + 2, value + 3};
  int result = Middle(target, local[value & 3]);
  return result + local[(value + 1) & 3];
}

int main(int argc, char **argv) {
  (void)argv;
  printf("%d\n", Outer((volatile int *)0, argc));
  return 0;
}
