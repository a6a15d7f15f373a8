// Readable names of the linkers' mangled C++ names: Borland's scheme (the
// classic C++Builder and Delphi compilers, "@TForm1@Button11Click$qqrp14System@TObject")
// and the Itanium scheme ("_ZN...", the clang-based C++Builder compilers and
// MinGW), the latter through the C++ run-time's own demangler.
//
// A name is demangled whole or not at all: whatever cannot be read to its last
// character comes back exactly as it was, so a caller may always show the answer.
#pragma once

#include <string>
#include <string_view>

namespace qf {

enum class DemangleStyle {
  Full,   // calling convention, qualified name, parameters: "__fastcall TForm1::Button11Click(System::TObject *)"
  Short,  // the qualified name only: "TForm1::Button11Click"
};

enum class NameScheme { None, Borland, Itanium };

// The scheme a name looks mangled in, from its first characters only (cheap;
// a name that looks mangled may still not demangle): Borland for "@..." with a
// second character, Itanium for "_Z..." and "__Z..." (the i686 underscore).
NameScheme MangledScheme(std::string_view linkerName);
inline bool LooksMangled(std::string_view linkerName) { return MangledScheme(linkerName) != NameScheme::None; }

// The readable name, or linkerName unchanged when it is not mangled or cannot
// be read whole. Meant for the moment a name is printed or written (a few
// hundred nanoseconds a mangled name), not for loading a MAP file; a caller
// that shows both keeps the linker's name wherever the answer differs from it.
std::string DemangleName(std::string_view linkerName, DemangleStyle style = DemangleStyle::Full);

// One scheme each: true and the readable name in out, or false and out left as
// it was. Borland names longer than 4,096 characters are not read (the
// compilers write at most 255).
bool DemangleBorland(std::string_view linkerName, DemangleStyle style, std::string& out);
bool DemangleItanium(std::string_view linkerName, DemangleStyle style, std::string& out);

}  // namespace qf
