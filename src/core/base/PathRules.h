// Path splitting. On Windows only "\" and ":" separate path parts ("/" is an
// ordinary character); on POSIX systems "/" is the one separator.
#pragma once

#include <string>
#include <string_view>

namespace qf {

#ifdef _WIN32
inline constexpr char PathDelim = '\\';
inline constexpr std::string_view PathSeparators = "\\:";
#else
inline constexpr char PathDelim = '/';
inline constexpr std::string_view PathSeparators = "/";
#endif

// The lead-byte test of the active 8-bit code page: a lead byte and the byte
// after it form one character, so a second byte equal to "\" or ":" is no
// separator. None is set by default (every byte is one character); the Windows
// programs set the system's test at start-up.
using LeadBytePredicate = bool (*)(unsigned char);
void SetLeadBytePredicate(LeadBytePredicate isLeadByte);
bool IsLeadByte(unsigned char c);

// Position of the first byte of the last character of path that is one of
// chars (walking by characters); npos when there is none.
std::string_view::size_type FindLastCharOf(std::string_view path, std::string_view chars);
// Whether one of the characters of path (walking by characters) is in chars.
bool ContainsCharOf(std::string_view path, std::string_view chars);

// Everything after the last separator; the whole text when there is none.
std::string ExtractFileName(std::string_view path);
// Everything up to and including the last separator; "" when there is none.
std::string ExtractFilePath(std::string_view path);
// From the last "." to the end, provided no separator follows that dot.
std::string ExtractFileExt(std::string_view path);
// Appends the delimiter unless the text already ends in it ("" becomes it).
std::string IncludeTrailingPathDelimiter(std::string_view path);

}  // namespace qf
