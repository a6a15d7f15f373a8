// The searches of the crash-report scanner (sixteen bytes at a time where
// SSE2 is there) against the byte-by-byte rules they stand for, from every
// start in real texts and in random texts made of the bytes that matter.
#include "crash/ReportBytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "TestFiles.h"

namespace qf::report_bytes {
namespace {

std::vector<std::string> Texts() {
  std::vector<std::string> texts;
  for (const std::string& path : {test::DataFile("crash-report.txt"), test::DataFile("real-maps/leiyu-Project1.map")}) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    texts.push_back(bytes.str().substr(0, 6000));
  }
  const char* const pieces[] = {"+0x", "+0X", "+", "0x", "x", "X", "0", "9", "a", "F", "g", "_", ".", "-", " ", "\t",
                                "\n", "'", ",", "fau", "FAULT", "in ", "IN", "Fault offset:", "faulting module name:",
                                "in module '", "deadbeef", "12345678", "App.exe", "\x10", "\xC6", "\0", "@", "`"};
  std::mt19937 random(7);
  for (int n = 0; n < 40; ++n) {
    std::string text;
    while (text.size() < 300) text += pieces[random() % (sizeof pieces / sizeof *pieces)];
    texts.push_back(text);
  }
  return texts;
}

TEST(ReportBytes, SearchesAsByteByByte) {
  const Label labels[] = {MakeLabel("fault offset:"), MakeLabel("faulting application name:"), MakeLabel("in module '")};
  for (const std::string& text : Texts()) {
    const char* const t = text.data();
    const size_t size = text.size();
    for (size_t from = 0; from <= size; ++from) {
      // Each search bounded by the text and by a nearer end.
      for (const size_t to : {size, std::min(size, from + 21)}) {
        size_t want = from;
        while (want < to && !MayStartAddress(t, size, want)) ++want;
        ASSERT_EQ(NextAddressStart(t, size, from, to), want) << from;
        want = from;
        while (want < to && IsHex(t[want])) ++want;
        ASSERT_EQ(HexRunEnd(t, size, from, to), want) << from;
      }
      for (const bool in : {false, true}) {
        size_t want = from;
        while (want < size && !MayStartNamed(t, size, want, in)) ++want;
        ASSERT_EQ(NextNamedStart(t, size, from, in), want) << from;
      }
      size_t want = from;
      while (want > 0 && IsModuleChar(t[want - 1])) --want;
      ASSERT_EQ(ModuleNameStart(t, from), want) << from;
      want = from;
      while (want > 0 && IsHexOrDash(t[want - 1])) --want;
      ASSERT_EQ(HexOrDashStart(t, from), want) << from;

      for (const Label& label : labels) {
        bool same = size - from >= label.size;
        for (size_t k = 0; same && k < label.size; ++k) same = Lower(t[from + k]) == label.text[k];
        ASSERT_EQ(LabelAt(t, size, from, label), same) << from;
      }
      const size_t count = std::min<size_t>(size - from, from % 40);
      std::string lower, wantLower;
      LowerLettersInto(t, size, from, count, lower);
      for (size_t k = 0; k < count; ++k) wantLower += Lower(t[from + k]);
      ASSERT_EQ(lower, wantLower) << from;
      const size_t digits = HexRunEnd(t, size, from, std::min(size, from + 16));
      uint64_t value = 0;
      for (size_t k = from; k < digits; ++k) value = value << 4 | uint64_t(std::stoi(std::string(1, t[k]), nullptr, 16));
      ASSERT_EQ(HexRunValue(t, from, digits), value) << from;
    }
  }
}

}  // namespace
}  // namespace qf::report_bytes
