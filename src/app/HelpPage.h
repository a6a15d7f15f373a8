// Where the program's help page lies: the page ships in the folder "help"
// beside Quillfen.exe and is opened through the shell from there, so it works
// without a network and always matches the installed version.
#pragma once

#include <string>

namespace qf {

// Relative to the folder of the executable.
inline constexpr const char* kHelpPage = "help\\index.html";

// The full path of the help page beside the running executable.
std::string HelpPageAddress();

}  // namespace qf
