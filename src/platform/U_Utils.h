// Routines the windows share: the version text of an executable, the install
// path in the registry, and conversions between ANSI and UTF-16 text.
#pragma once

#include <string>

namespace qf {

// "a.b.c.d" from the fixed part of the file's version resource; "File not
// found" when the name is missing or a folder; "Unable to retrieve file
// version info" when the version resource is missing or unreadable.
std::wstring GetFileVersionString(const std::wstring& fileName);

// Writes value as a string value named valueName under
// HKEY_LOCAL_MACHINE\SOFTWARE\Velmora, creating the key if needed. Failures
// are ignored quietly; never throws.
void RecordInstallPath(const std::string& valueName, const std::string& value) noexcept;

// Conversions through the system's ANSI code page (CP_ACP). Characters
// missing from the code page become the code page's default character ("?"),
// never a look-alike; exact (if given) tells whether that happened.
std::string WideToAnsi(const std::wstring& text, bool* exact = nullptr);
std::wstring AnsiToWide(const std::string& text);

}  // namespace qf
