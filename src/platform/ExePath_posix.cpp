#include <unistd.h>

#include <string>

#include "ExePath.h"

namespace qf {

std::string ExecutablePath() {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", &buffer[0], buffer.size());
    if (n < 0) return std::string();
    // A result that fills the buffer may have been cut short.
    if (static_cast<std::size_t>(n) < buffer.size()) return buffer.substr(0, static_cast<std::size_t>(n));
    if (buffer.size() >= (1u << 16)) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace qf
