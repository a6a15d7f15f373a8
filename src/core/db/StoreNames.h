// The rules for project and version names the command line gives the store:
// the window shares the store, and Windows must be able to hold every name it
// keeps, so a name is checked before the store is asked to make it.
#pragma once

#include <string>
#include <string_view>

namespace qf {

// Why Windows cannot keep name as a file or folder name, in words that name
// the rule ("CON is a device name Windows reserves"); empty when it can.
// Refused: empty, "." and "..", a leading "." (listings skip such names),
// the characters < > : " / \ | ? *, control characters, a trailing dot or
// space, and the reserved device names (CON, PRN, AUX, NUL, COM1-COM9,
// LPT1-LPT9), also with an extension ("nul.txt").
std::string WindowsNameProblem(std::string_view name);

// Version order: runs of digits compare as numbers (1.2.10 after 1.2.9),
// the rest as text without regard to case; names equal that way keep the
// byte order, so the order is total.
bool VersionOrderLess(std::string_view a, std::string_view b);

}  // namespace qf
