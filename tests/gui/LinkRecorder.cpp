// Stands in for the shell's handler of mail and web links in the about box's
// tests: appends the link it was given (second argument) as one line to the
// file named by its first argument.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  if (__argc < 3) return 2;
  FILE* log = std::fopen(__argv[1], "ab");
  if (!log) return 1;
  std::fprintf(log, "%s\n", __argv[2]);
  std::fclose(log);
  return 0;
}
