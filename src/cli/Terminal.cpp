#include "Terminal.h"

#include <cstdio>
#include <iostream>
#include <iterator>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace qf::cli {

bool IsTerminal(const std::ostream& out) {
  if (&out != &std::cout) return false;
#ifdef _WIN32
  // A console; a character device that is not one (NUL) is no terminal.
  const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode);
#else
  return isatty(STDOUT_FILENO) == 1;
#endif
}

void UseBinaryStandardOutput() {
  std::cout.flush();
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
#endif
}

std::string ReadStandardInputBytes() {
#ifdef _WIN32
  _setmode(_fileno(stdin), _O_BINARY);
#endif
  return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
}

}  // namespace qf::cli
