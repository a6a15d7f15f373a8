// Whether quillfen-cli writes to a terminal: answers are then shown line by
// line; to a file or a pipe they are written in large pieces.
#pragma once

#include <iosfwd>
#include <string>

namespace qf::cli {

// True when out is standard output and standard output is a terminal.
bool IsTerminal(const std::ostream& out);

// Standard output writes its bytes as given from here on: no CR added before
// each LF on Windows (text that must keep LF line ends).
void UseBinaryStandardOutput();
// Every byte of standard input, read as binary (a minidump given as "-").
std::string ReadStandardInputBytes();

}  // namespace qf::cli
