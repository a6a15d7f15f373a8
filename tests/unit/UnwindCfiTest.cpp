// The stack rules written for Breakpad from the real 64-bit images of the
// kept dumps, evaluated as Breakpad evaluates them, against the unwind of
// Windows' own rules (UnwindX64) from the same place: at every instruction
// of the code, the caller's RSP, RIP and non-volatile registers must agree.
// The instruction starts are objdump's where the build has it; without them
// every byte is compared where Windows reads no epilog (bytes inside an
// instruction may read as one, and Windows reads a "pop rsp" there too).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/FileSystem.h"
#include "image/PeImage.h"
#include "image/UnwindCfi.h"
#include "image/UnwindInfo.h"

namespace qf {
namespace {

const char* const kNames[16] = {"$rax", "$rcx", "$rdx", "$rbx", "$rsp", "$rbp", "$rsi", "$rdi",
                               "$r8",  "$r9",  "$r10", "$r11", "$r12", "$r13", "$r14", "$r15"};

using Rules = std::map<std::string, std::string>;  // ".cfa", ".ra", "$rbx" ... : postfix expression

struct CfiFunction {
  uint64_t rva = 0, size = 0;
  Rules init;
  std::vector<std::pair<uint64_t, Rules>> steps;
};

Rules ParseRules(std::istringstream& in) {
  Rules rules;
  std::string word, name;
  while (in >> word) {
    if (word.back() == ':') {
      name = word.substr(0, word.size() - 1);
      rules[name].clear();
    } else {
      EXPECT_FALSE(name.empty()) << word;
      std::string& expr = rules[name];
      expr += (expr.empty() ? "" : " ") + word;
    }
  }
  return rules;
}

std::vector<CfiFunction> ParseCfi(const std::string& text) {
  std::vector<CfiFunction> functions;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream in(line);
    std::string stack, cfi, kind;
    in >> stack >> cfi;
    EXPECT_EQ(stack + " " + cfi, "STACK CFI") << line;
    if (line.rfind("STACK CFI INIT ", 0) == 0) {
      CfiFunction f;
      in >> kind >> std::hex >> f.rva >> f.size >> std::dec;
      f.init = ParseRules(in);
      EXPECT_TRUE(f.init.count(".cfa") && f.init.count(".ra")) << line;
      functions.push_back(f);
    } else {
      uint64_t rva = 0;
      in >> std::hex >> rva >> std::dec;
      EXPECT_FALSE(functions.empty());
      EXPECT_GT(rva, functions.back().rva) << line;
      EXPECT_LT(rva, functions.back().rva + functions.back().size) << line;
      functions.back().steps.push_back({rva, ParseRules(in)});
    }
  }
  return functions;
}

// A postfix expression of Breakpad's: numbers (decimal), registers, .cfa,
// + - and ^ (a read of 8 bytes).
uint64_t Evaluate(const std::string& expr, const X64Context& context, uint64_t cfa, const ReadMemory64& read) {
  std::vector<uint64_t> stack;
  std::istringstream in(expr);
  std::string token;
  while (in >> token) {
    if (token == "+" || token == "-") {
      const uint64_t b = stack.back();
      stack.pop_back();
      stack.back() = token == "+" ? stack.back() + b : stack.back() - b;
    } else if (token == "^") {
      stack.back() = read(stack.back()).value_or(0);
    } else if (token == ".cfa") {
      stack.push_back(cfa);
    } else if (token[0] == '$') {
      const auto reg = std::find(std::begin(kNames), std::end(kNames), token);
      EXPECT_NE(reg, std::end(kNames)) << token;
      stack.push_back(context.r[static_cast<std::size_t>(reg - std::begin(kNames))]);
    } else {
      EXPECT_EQ(token.find_first_not_of("0123456789"), std::string::npos) << "not decimal: " << token;
      stack.push_back(std::stoull(token));
    }
  }
  EXPECT_EQ(stack.size(), 1u) << expr;
  return stack.empty() ? 0 : stack.back();
}

// The RVAs of the instructions objdump found in the image; none without them.
std::set<uint64_t> InstructionStarts(const std::string& name, uint64_t imageBase) {
  std::set<uint64_t> starts;
#ifdef QF_INSTRUCTION_STARTS_DIR
  std::ifstream in(std::string(QF_INSTRUCTION_STARTS_DIR) + "/" + name + ".txt");
  EXPECT_TRUE(in.good()) << name;
  for (std::string line; std::getline(in, line);) starts.insert(std::stoull(line, nullptr, 16) - imageBase);
#else
  (void)name;
  (void)imageBase;
#endif
  return starts;
}

TEST(UnwindCfi, EveryInstructionOfTheKeptImagesUnwindsAsWindowsUnwinds) {
  const char* const kImages[] = {"Frameless/data/FrameLib.dll", "Frameless/data/Frameless.exe", "win64/CrashApp.exe",
                                 "win64/CrashLib.dll"};
  const uint64_t base = 0x7FF612340000;
  // Memory that answers every read, each address with its own value.
  const ReadMemory64 read = [](uint64_t address) -> std::optional<uint64_t> {
    return address * 0x9E3779B97F4A7C15ull ^ 0x5A5A5A5A;
  };
  X64Context context;
  for (unsigned i = 0; i < 16; ++i) context.r[i] = 0x1111000000000000ull + i * 0x100;
  context.r[kRsp] = 0x000000A000100000ull;
  for (const char* name : kImages) {
    SCOPED_TRACE(name);
    const std::string bytes = PlatformFileSystem().ReadWholeFile(std::string(QF_DUMPS_DIR) + "/" + name);
    const std::optional<PeImage> image = ReadPeImage(bytes);
    ASSERT_TRUE(image);
    const UnwindTable table(*image, bytes);
    const std::vector<CfiFunction> cfi = ParseCfi(X64StackCfi(*image, bytes));
    ASSERT_GT(cfi.size(), 10u);
    const std::string file = std::string(name).substr(std::string(name).rfind('/') + 1);
    const std::set<uint64_t> starts = InstructionStarts(file, image->imageBase);
    std::size_t compared = 0, epilogs = 0, failures = 0;
    for (const PeSection& section : image->sections) {
      if (!section.IsCode()) continue;
      for (uint64_t rva = section.virtualAddress; rva < uint64_t{section.virtualAddress} + section.Span(); ++rva) {
        const auto f = std::upper_bound(cfi.begin(), cfi.end(), rva,
                                        [](uint64_t r, const CfiFunction& c) { return r < c.rva; });
        ASSERT_NE(f, cfi.begin()) << "no rules at " << std::hex << rva;
        const CfiFunction& function = *(f - 1);
        ASSERT_LT(rva - function.rva, function.size) << "no rules at " << std::hex << rva;
        Rules rules = function.init;
        for (const auto& [at, step] : function.steps) {
          if (at > rva) break;
          for (const auto& [reg, expr] : step) rules[reg] = expr;
        }
        X64Context here = context;
        here.rip = base + rva;
        const std::optional<UnwindStep> windows = UnwindX64(table, *image, bytes, base, here, false, read);
        ASSERT_TRUE(windows) << std::hex << rva;
        const uint64_t cfa = Evaluate(rules[".cfa"], here, 0, read);
        std::vector<std::pair<std::string, bool>> checks = {
            {"rsp", windows->context.r[kRsp] == cfa},
            {"rip", windows->context.rip == Evaluate(rules[".ra"], here, cfa, read)}};
        for (const uint8_t reg : {kRbx, kRbp, kRsi, kRdi, kR12, kR13, kR14, kR15}) {
          const auto rule = rules.find(kNames[reg]);
          const uint64_t ours = rule == rules.end() ? here.r[reg] : Evaluate(rule->second, here, cfa, read);
          checks.push_back({kNames[reg], ours == windows->context.r[reg]});
        }
        if (starts.empty() ? windows->epilog : starts.count(rva) == 0) continue;
        ++compared;
        epilogs += windows->epilog;
        for (const auto& [what, same] : checks) {
          if (!same && ++failures <= 10) {
            ADD_FAILURE() << what << " differs at rva 0x" << std::hex << rva << (windows->epilog ? " (epilog)" : "");
          }
        }
      }
    }
    EXPECT_EQ(failures, 0u);
    if (!starts.empty()) {
      EXPECT_GT(epilogs, 10u);
      EXPECT_GE(compared, starts.size() - 8);  // all but a cut last instruction or so
    }
    std::printf("%s: %zu places compared, %zu of them in epilogs\n", name, compared, epilogs);
  }
}

}  // namespace
}  // namespace qf
