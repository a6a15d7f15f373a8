// The character rule of the system's 8-bit code page for the path routines.
#pragma once

namespace qf {

// Windows: the path routines walk text by characters of the active ANSI code
// page (its lead-byte test), so the second byte of a double-byte character
// is never a separator. Elsewhere every byte stays one character.
void UseSystemCodePage();

}  // namespace qf
