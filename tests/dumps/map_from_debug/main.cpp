// map_from_debug TOOLPREFIX MODULE OUTPUT
//
// Writes the MAP file of a PE module in the Delphi layout from its own debug
// information, as the GNU binutils of its target print it: TOOLPREFIX is the
// start of their names, e.g. /usr/bin/i686-w64-mingw32- for
// /usr/bin/i686-w64-mingw32-objdump and -nm.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/wait.h>

#include "ModuleDebugInfo.h"

namespace {

std::string Quoted(const std::string& s) {
  std::string q = "'";
  for (const char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct PipeCloser {
  void operator()(FILE* f) const { pclose(f); }
};

// The standard output of a command; throws when it cannot be run or fails.
std::string Output(const std::string& command) {
  std::unique_ptr<FILE, PipeCloser> pipe(popen(command.c_str(), "r"));
  if (!pipe) throw std::runtime_error("cannot run " + command);
  std::string text;
  char buffer[65536];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0;) text.append(buffer, n);
  const int status = pclose(pipe.release());
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(command + " failed");
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: map_from_debug TOOLPREFIX MODULE OUTPUT\n";
    return 2;
  }
  const std::string prefix = argv[1], module = Quoted(argv[2]);
  const std::string objdump = Quoted(prefix + "objdump") + " ";
  try {
    mfd::ModuleDebugInfo info;
    mfd::ReadPrivateHeaders(Output(objdump + "-p " + module), info);
    info.sections = mfd::ReadSections(Output(objdump + "-h -w " + module));
    info.symbols = mfd::ReadSymbols(Output(Quoted(prefix + "nm") + " " + module), !info.wide);
    info.units = mfd::ReadUnits(Output(objdump + "--dwarf=info --dwarf-depth=1 " + module),
                                Output(objdump + "--dwarf=aranges " + module));
    info.lines = mfd::ReadLines(Output(objdump + "--dwarf=decodedline -w " + module));
    if (info.units.empty() || info.lines.empty()) throw std::runtime_error(std::string(argv[2]) + " has no debug information");
    const std::string text = mfd::WriteDelphiMap(info);
    std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw std::runtime_error(std::string("cannot write ") + argv[3]);
  } catch (const std::exception& e) {
    std::cerr << "map_from_debug: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
