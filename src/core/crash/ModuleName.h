// Which module an address or a MAP file belongs to. A MAP file belongs to
// one module: the one named by the user, else the one whose file name
// without extension is the MAP file's name without extension
// (VncDllLoader.map: VncDllLoader.exe, .dll or .bpl).
#pragma once

#include <string>
#include <string_view>

namespace qf {

// The file name of a module as a report or a dump writes it: the text after
// the last "\", "/" or ":".
std::string_view ModuleFileName(std::string_view path);

// The file name without its extension (the text from its last ".").
std::string_view WithoutExtension(std::string_view fileName);

// Whether the module written as `module` (a file name or a path) is the one
// `name` names: its file name, or that name without extension, equals name
// without regard to case.
bool IsModule(std::string_view module, std::string_view name);

// The name of the module a MAP file belongs to when none is given: the MAP
// file's name without folder and extension.
std::string MapModuleName(std::string_view mapPath);

}  // namespace qf
