// File routines on UTF-16 names that call the wide (W) Windows functions when
// they work on the running system and the ANSI (A) ones otherwise, with the
// name converted to the ANSI code page. A probe at program start decides.
#pragma once

#include <windows.h>

#include <string>

namespace qf {

// True when the wide file functions work; false until the probe has run.
extern bool WideApiAvailable;

// Searches the Windows directory with FindFirstFileW and sets WideApiAvailable.
// Runs once by itself while the program starts; may be called again.
void ProbeWideApi();

// True if an entry of that name exists and is not a directory.
bool WideFileExists(const std::wstring& name);

// As GetFileVersionInfoSize: the size of the version information, 0 if none.
DWORD WideGetFileVersionInfoSize(const std::wstring& name, DWORD* handle);

// As GetFileVersionInfo: non-zero on success.
BOOL WideGetFileVersionInfo(const std::wstring& name, DWORD handle, DWORD size, void* data);

}  // namespace qf
