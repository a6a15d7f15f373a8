// Where the running program lies.
#pragma once

#include <string>

namespace qf {

// The full path of the running executable; "" when the system cannot tell.
std::string ExecutablePath();

}  // namespace qf
