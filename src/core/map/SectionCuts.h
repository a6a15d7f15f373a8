// Where a MAP file may be cut into pieces that are read apart: at a line
// where every reading of the file is, for certain, at the start of a
// line-number section.
#pragma once

#include <cstddef>

namespace qf {

// True when the reading is, for certain, at the start of a section at
// position p of d[0, n) (d begins at a line start): the line at p begins with
// "Line numbers"; the line before it is empty and the one before that does
// not begin with "Line numbers", so the empty line is not the skipped line of
// a section; and two more lines follow the header before n with no NUL on the
// way, so the header opens a section.
bool IsSectionStart(const char* d, std::size_t n, std::size_t p);

// The last section start in d[0, n); 0 when there is none.
std::size_t LastSectionStart(const char* d, std::size_t n);

// The end of the last whole line of d[0, n) (a CR as the last byte may be
// half of a CR LF); 0 when there is none.
std::size_t LastLineEnd(const char* d, std::size_t n);

}  // namespace qf
