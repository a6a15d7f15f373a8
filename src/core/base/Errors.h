// Errors raised by the runtime rules beneath the windows. The logic layers
// report by result; only these two conditions are raised, and the windows show
// them in the error box.
#pragma once

#include <stdexcept>
#include <string>

namespace qf {

// Base of every error the program raises; what() is the text shown to the user.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
};

// A file that cannot be opened or read:
// Impossible d'ouvrir le fichier "<full path>". <system description>
class EFOpenError : public Exception {
 public:
  EFOpenError(const std::string& fullPath, const std::string& systemMessage);
  // The parts of the message, for a front end that words it otherwise.
  const std::string& Path() const { return path_; }
  const std::string& Reason() const { return reason_; }

 private:
  std::string path_;
  std::string reason_;
};

// A read outside a list: Indice de liste hors limites (<index>)
class EListError : public Exception {
 public:
  explicit EListError(long long index);
};

// The system's description of a failure as it appears in a message: trailing
// blanks, control characters and dots removed.
std::string CleanSystemMessage(const std::string& text);

}  // namespace qf
