// The window framework's own texts. The framework speaks French; the program's
// own messages (English) are worded by the windows that use the framework.
// Errors raised on the framework's behalf (a file that cannot be opened, an
// index outside a list) are the core's qf::EFOpenError and qf::EListError.
#pragma once

namespace qf::formtexts {

// Button captions of the framework's boxes.
inline constexpr const char* kOk = "OK";
inline constexpr const char* kCancel = "Annuler";

// The texts are shown through the ANSI functions, so accented letters are
// written as their Windows-1252 bytes (\xE9 e acute, \xEA e circumflex), not
// as the UTF-8 of this source file.

// Raised when a form that is already visible is asked to show modally.
inline constexpr const char* kCannotShowModal = "Impossible de rendre modale une fen\xEAtre visible";
// Raised when the system refuses to create a window.
inline constexpr const char* kCannotCreateWindow = "Erreur lors de la cr\xE9" "ation de la fen\xEAtre";
// Shown when memory runs out (std::bad_alloc carries no text for users).
inline constexpr const char* kOutOfMemory = "M\xE9moire insuffisante";
// Shown for an error that carries no message of its own.
inline constexpr const char* kUnknownError = "Erreur inconnue";

}  // namespace qf::formtexts
