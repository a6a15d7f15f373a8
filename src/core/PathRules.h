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

// Everything after the last separator; the whole text when there is none.
std::string ExtractFileName(std::string_view path);
// Everything up to and including the last separator; "" when there is none.
std::string ExtractFilePath(std::string_view path);
// From the last "." to the end, provided no separator follows that dot.
std::string ExtractFileExt(std::string_view path);
// Appends the delimiter unless the text already ends in it ("" becomes it).
std::string IncludeTrailingPathDelimiter(std::string_view path);

}  // namespace qf
