// Where the running program lies.
#pragma once

#include <string>

namespace qf {

// The full path of the running executable; "" when the system cannot tell.
std::string ExecutablePath();

#ifdef _WIN32
// The same in UTF-16, so that a folder name outside the ANSI code page still
// finds the file; the ANSI path widened where the wide call fails.
std::wstring ExecutablePathW();
#endif

}  // namespace qf
