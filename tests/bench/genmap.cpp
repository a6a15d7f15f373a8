// Writes a large, realistic linker MAP file for the load benchmark: a segment
// table, the detailed segment map, publics by name and by value, then
// thousands of "Line numbers" sections with four pairs per line, CR LF ends.
// The output depends only on the requested size, the seed and the names:
// Delphi's (Unit.TClass.Proc0), or with --cbuilder C++Builder's mangled
// names (@Unit@TClass@Proc0$qqrp14System@TObject) for the demangling figures.
//   genmap [--cbuilder] OUTPUT SIZE_MB [SEED]
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// A small fixed generator, so that every run and every machine writes the same file.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed * 2862933555777941757ull + 3037000493ull) {}
  uint32_t Next() {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state_ >> 33);
  }
  uint32_t Below(uint32_t n) { return Next() % n; }

 private:
  uint64_t state_;
};

struct Unit {
  std::string module;
  std::string source;
  uint32_t start = 0;
  uint32_t length = 0;
};

class Writer {
 public:
  explicit Writer(std::FILE* out) : out_(out) {}
  void Line(const char* text) {
    buffer_ += text;
    buffer_ += "\r\n";
    if (buffer_.size() > (1u << 20)) Flush();
  }
  void Flush() {
    std::fwrite(buffer_.data(), 1, buffer_.size(), out_);
    written_ += buffer_.size();
    buffer_.clear();
  }
  uint64_t Written() const { return written_ + buffer_.size(); }

 private:
  std::FILE* out_;
  std::string buffer_;
  uint64_t written_ = 0;
};

const char* const kWords[] = {"Engine", "Render", "Socket", "Parser", "Cache",  "Window", "Thread", "Stream",
                              "Codec",  "Physics", "Audio", "Input",  "Script", "Shader", "Network", "Storage"};

std::string ModuleName(Random& rng, std::size_t index) {
  char name[64];
  std::snprintf(name, sizeof name, "%s%s%zu", kWords[rng.Below(16)], kWords[rng.Below(16)], index);
  return name;
}

// The function parts of C++Builder names: __fastcall methods as a form's
// and a class's are, with their parameters.
const char* const kBorlandTails[] = {"$qqrp14System@TObject", "$qqrv", "$qqrx17System@AnsiStringi",
                                     "$qqrp14System@TObjectt1"};

std::string PublicName(Random& rng, const std::string& module, int index, bool cbuilder) {
  const char* word = kWords[rng.Below(16)];
  if (!cbuilder) return module + ".T" + word + ".Proc" + std::to_string(index);
  return "@" + module + "@T" + word + "@Proc" + std::to_string(index) + kBorlandTails[index % 4];
}

}  // namespace

int main(int argc, char** argv) {
  const bool cbuilder = argc > 1 && std::string(argv[1]) == "--cbuilder";
  if (cbuilder) {
    --argc;
    ++argv;
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: genmap [--cbuilder] OUTPUT SIZE_MB [SEED]\n");
    return 2;
  }
  const uint64_t target = static_cast<uint64_t>(std::strtoull(argv[2], nullptr, 10)) << 20;
  Random rng(argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1);
  std::FILE* out = std::fopen(argv[1], "wb");
  if (!out) {
    std::perror(argv[1]);
    return 1;
  }

  // Units: about 2,500 pairs each on average, so a 200 MB file holds some
  // four thousand sections. Code offsets rise through the whole file.
  const uint64_t pairsWanted = target / 20;  // a pair takes 20 bytes on its line
  std::vector<Unit> units;
  uint32_t offset = 0;
  for (uint64_t pairs = 0; pairs < pairsWanted;) {
    Unit u;
    u.module = ModuleName(rng, units.size());
    if (units.size() % 97 == 5)
      u.source = "C:\\Program Files (x86)\\Studio\\Projects\\Big\\" + u.module + ".pas";
    else
      u.source = u.module + ".pas";
    const uint32_t count = 50 + rng.Below(5000);
    u.start = offset;
    u.length = count * 8 + 16;  // eight bytes of code per line on average
    offset += (u.length + 3) & ~3u;
    units.push_back(u);
    pairs += count;
  }

  Writer w(out);
  char line[512];
  w.Line("");
  w.Line(" Start         Length     Name                   Class");
  std::snprintf(line, sizeof line, " 0001:00000000 %08" PRIX32 "H .text                   CODE", offset);
  w.Line(line);
  w.Line(" 0002:00000000 00012A40H .data                   DATA");
  w.Line(" 0002:00012A40 00003F10H .bss                    BSS");
  w.Line("");
  w.Line("");
  w.Line("Detailed map of segments");
  w.Line("");
  for (const Unit& u : units) {
    std::snprintf(line, sizeof line, " 0001:%08" PRIX32 " %08" PRIX32 " C=CODE     S=.text    G=(none)   M=%s ACBP=A9",
                  u.start, u.length, u.module.c_str());
    w.Line(line);
  }

  // A few publics per unit, listed by name (roughly) and by value.
  std::vector<std::pair<uint32_t, std::string>> publics;
  for (const Unit& u : units) {
    const int n = 1 + static_cast<int>(rng.Below(6));
    for (int i = 0; i < n; ++i) {
      const uint32_t at = u.start + (u.length / static_cast<uint32_t>(n)) * static_cast<uint32_t>(i);
      publics.emplace_back(at & ~3u, PublicName(rng, u.module, i, cbuilder));
    }
  }
  w.Line("");
  w.Line("");
  w.Line("  Address         Publics by Name");
  w.Line("");
  for (const auto& p : publics) {
    std::snprintf(line, sizeof line, " 0001:%08" PRIX32 "       %s", p.first, p.second.c_str());
    w.Line(line);
  }
  w.Line("");
  w.Line("  Address         Publics by Value");
  w.Line("");
  for (const auto& p : publics) {
    std::snprintf(line, sizeof line, " 0001:%08" PRIX32 "       %s", p.first, p.second.c_str());
    w.Line(line);
  }
  w.Line("");
  w.Line("");

  // The line-number sections, until the file has its size.
  for (const Unit& u : units) {
    if (w.Written() >= target) break;
    std::snprintf(line, sizeof line, "Line numbers for %s(%s) segment .text", u.module.c_str(), u.source.c_str());
    w.Line(line);
    w.Line("");
    uint32_t at = u.start;
    uint32_t number = 20 + rng.Below(200);
    const uint32_t end = u.start + u.length - 16;
    std::string data;
    int inLine = 0;
    while (at < end) {
      char pair[40];
      std::snprintf(pair, sizeof pair, "%6" PRIu32 " 0001:%08" PRIX32, number, at);
      data += pair;
      if (++inLine == 4) {
        w.Line(data.c_str());
        data.clear();
        inLine = 0;
      }
      number += 1 + (rng.Below(8) == 0 ? rng.Below(30) : 0);
      at += 1 + rng.Below(15);
    }
    if (!data.empty()) w.Line(data.c_str());
    w.Line("");
  }
  w.Line("Bound resource files");
  w.Line("");
  w.Line("Big.res");
  w.Line("");
  w.Line("");
  std::snprintf(line, sizeof line, "Program entry point at 0001:%08" PRIX32, units.back().start);
  w.Line(line);
  w.Flush();
  if (std::fclose(out) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
