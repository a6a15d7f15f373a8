// Addresses as written on a command line and in crash reports.
#include "crash/CrashReport.h"
#include "crash/ModuleName.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TestFiles.h"

namespace qf {
namespace {

std::string Describe(const std::vector<AddressRef>& refs) {
  std::string text;
  for (const AddressRef& ref : refs) {
    char value[32];
    std::snprintf(value, sizeof value, "%llX", static_cast<unsigned long long>(ref.value));
    text += (ref.rva ? (ref.module.empty() ? std::string("rva:") : ref.module + "+") : std::string()) + value + " ";
  }
  return text;
}

// ScanReport's addresses: MODULE+RVA, MODULE:ADDRESS or ADDRESS, each with
// {CLASS|MESSAGE} of its run-time text.
std::string DescribeReport(std::string_view report) {
  const std::vector<RuntimeMessage> messages = DelphiRuntimeMessages(report);
  std::string text;
  for (const ReportAddress& a : ScanReport(report, messages)) {
    char value[32];
    std::snprintf(value, sizeof value, "%llX", static_cast<unsigned long long>(a.ref.value));
    text += a.ref.module.empty() ? "" : a.ref.module + (a.ref.rva ? "+" : ":");
    text += value;
    if (a.message) text += "{" + messages[*a.message].className + "|" + messages[*a.message].message + "}";
    text += " ";
  }
  return text;
}

TEST(ParseAddress, Forms) {
  struct Case {
    const char* text;
    const char* want;  // as Describe writes it, "" when refused
  } const cases[] = {
      {"004E6446", "4E6446 "},
      {"0x004e6446", "4E6446 "},
      {"0X4E6446", "4E6446 "},
      {"$004E6446", "4E6446 "},
      {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF "},
      {"Project1.exe+0x5794F", "Project1.exe+5794F "},
      {"My App.exe+$10", "My App.exe+10 "},
      {"vcl.bpl+1F", "vcl.bpl+1F "},
      {"", ""},
      {"0x", ""},
      {"$", ""},
      {"10000000000000000", ""},  // 17 digits
      {"4E64G6", ""},
      {" 4E6446", ""},
      {"+0x10", ""},
      {"App.exe+", ""},
      {"App.exe+0xZZ", ""},
      {"-10", ""},
  };
  for (const Case& c : cases) {
    const auto ref = ParseAddress(c.text);
    EXPECT_EQ(ref ? Describe({*ref}) : std::string(), c.want) << c.text;
  }
}

TEST(ScanCrashReport, WhatCountsAsAnAddress) {
  struct Case {
    const char* report;
    const char* want;
  } const cases[] = {
      // Runs of exactly 8 or 16 hexadecimal digits between non-word characters.
      {"at 004E6446.", "4E6446 "},
      {"004E6446", "4E6446 "},
      {"(0x004E6446) [$004E6446] 0X004E6446", "4E6446 4E6446 4E6446 "},
      {"0000000140001234 and 1234567 and 123456789", "140001234 "},
      {"x004E6446 004E6446x _004E6446 004E6446_ a0x004E6446 0xx004E6446", ""},
      {"004E6446-004E6447,004E6448", "4E6446 4E6447 4E6448 "},
      {"ab004E6446 deadbeef", "DEADBEEF "},  // the maximal run counts
      // MODULE+0xRVA, any length of digits, its digits not read again.
      {"Project1.exe+0x0005794F", "Project1.exe+5794F "},
      {"at C:\\App\\vcl250.bpl+0x1A2B) and kernel32.dll+0x10", "vcl250.bpl+1A2B kernel32.dll+10 "},
      {"00401000+0x10 1+0x10 App.exe+0x10zz", "401000 "},  // a plain address, then no module
      // The RVA after "Fault offset: 0x".
      {"Fault offset: 0x000e5446\r\n", "rva:E5446 "},
      {"fault offset:\t0x5446", "rva:5446 "},
      {"Fault offset 0x000e5446", "E5446 "},
      // ... of the module named by the nearest "Faulting module name:" before it.
      {"Faulting module name: ntdll.dll, version: 6.1.7601\r\nFault offset: 0x000ce753",
       "ntdll.dll+CE753 "},
      {"Faulting module name: A.exe\nFault offset: 0x10\nFaulting module name: b.dll\nFault offset: 0x20",
       "A.exe+10 b.dll+20 "},
      // In order of appearance, repeats kept.
      {"004E6446 App.exe+0x10 Fault offset: 0x20 004E6446", "4E6446 App.exe+10 rva:20 4E6446 "},
  };
  for (const Case& c : cases) EXPECT_EQ(Describe(ScanCrashReport(c.report)), c.want) << c.report;
}

TEST(ScanCrashReport, ThreeKindsOfReport) {
  const char* const dialog =
      "Access violation at address 004E6446 in module 'Project1.exe'. Read of address 00000000.";
  EXPECT_EQ(Describe(ScanCrashReport(dialog)), "4E6446 0 ");
  const char* const trace =
      "main thread ($1a2c):\n"
      "004e6446 +046 Project1.exe MainForm 727 +5 TForm1.Button1Click\n"
      "7c812aeb +000 kernel32.dll           RaiseException\n";
  EXPECT_EQ(Describe(ScanCrashReport(trace)), "4E6446 7C812AEB ");
  const char* const event =
      "Faulting application name: Project1.exe, version: 1.0.0.0, time stamp: 0x4a5bc3ee\r\n"
      "Faulting module name: vcl250.bpl, version: 25.0.0.0, time stamp: 0x4a5bc3ee\r\n"
      "Exception code: 0xc0000005\r\n"
      "Fault offset: 0x000e5446\r\n";
  // The fault offset belongs to the faulting module.
  EXPECT_EQ(Describe(ScanCrashReport(event)), "4A5BC3EE 4A5BC3EE C0000005 vcl250.bpl+E5446 ");
  EXPECT_EQ(ModulesInReport(std::string(dialog) + trace + event),
            (std::vector<std::string>{"Project1.exe", "vcl250.bpl"}));
  EXPECT_EQ(ModulesInReport("VCL250.BPL+0x10 in module 'Vcl250.bpl'"), (std::vector<std::string>{"VCL250.BPL"}));
}

TEST(ScanReport, TheDelphiRunTimesTexts) {
  struct Case {
    const char* report;
    const char* want;
  } const cases[] = {
      // An exception's text: an RVA of its module, "$" or not; the message on the next line or after it.
      {"Exception EConvertError in module Project1.exe at 0004A8F1.\r\n'abc' is not a valid integer value.\r\n",
       "Project1.exe+4A8F1{EConvertError|'abc' is not a valid integer value.} "},
      {"Exception EConvertError in module Project1.exe at $0004A8F1. 'abc' is not a valid integer value.",
       "Project1.exe+4A8F1{EConvertError|'abc' is not a valid integer value.} "},
      {"Exception EFOpenError in module My App.exe at 4A8F1.\n\nnext 00401000",
       "My App.exe+4A8F1{EFOpenError|} 401000 "},
      {"Exception Vcl.Forms.EInvalidOperation in module vcl270.bpl at 0001F00A.\nCannot focus",
       "vcl270.bpl+1F00A{Vcl.Forms.EInvalidOperation|Cannot focus} "},
      // An access violation: the address with its module, never the data address.
      {"Access violation at address 0045894F in module 'Project1.exe'. Read of address 00000000",
       "Project1.exe:45894F{EAccessViolation|Read of address 00000000} "},
      {"Access violation at address 0045894F in module 'rtl270.bpl'. Write of address 0045894F.",
       "rtl270.bpl:45894F{EAccessViolation|Write of address 0045894F} "},
      // Other texts are no run-time's text: read as before.
      {"Exception EConvertError in module Project1.exe at 0004A8F1", "4A8F1 "},
      {"Exception code: 0xc0000005 at 0045894F", "C0000005 45894F "},
      {"MyException EX in module A.exe at 00001000.", "1000 "},
      {"Access violation at address 0045894F in module Project1.exe. Read of address 00000000", "45894F 0 "},
      // In order with the other addresses.
      {"0040100A Exception E in module A.exe at 10. x\n0040100B", "40100A A.exe+10{E|x} 40100B "},
  };
  for (const Case& c : cases) EXPECT_EQ(DescribeReport(c.report), c.want) << c.report;
}

// Found by fuzzing at 64 KB: labels in one long line each took the rest of
// the line as their name (time and memory growing with the square of the
// line), and every module was compared with all those before it.
TEST(ModulesInReport, LongLinesAndManyModules) {
  const std::string label = "Faulting module name: ";
  const std::string longest(260, 'm'), tooLong(261, 'm');
  EXPECT_EQ(ModulesInReport(label + longest), (std::vector<std::string>{longest}));
  EXPECT_TRUE(ModulesInReport(label + tooLong).empty());
  EXPECT_TRUE(ModulesInReport("in module '" + tooLong + "'").empty());
  // A fault offset after a name that is too long has no module.
  EXPECT_EQ(Describe(ScanCrashReport(label + tooLong + "\nFault offset: 0x10")), "rva:10 ");

  std::string line;  // one line: label after label, no comma
  for (int i = 0; i < 2000; ++i) line += label + "m.dll ";
  const std::vector<std::string> named = ModulesInReport(line);  // only the labels near the end
  ASSERT_FALSE(named.empty());
  EXPECT_LE(named.size(), 260 / (label.size() + 6) + 1);
  EXPECT_EQ(named.back(), "m.dll");

  std::string report;
  std::vector<std::string> want;
  for (int i = 0; i < 5000; ++i) {
    want.push_back("m" + std::to_string(i) + ".dll");
    report += want.back() + "+0x1 M" + std::to_string(i) + ".DLL+0x2 ";
  }
  EXPECT_EQ(ModulesInReport(report), want);  // each once, first spelling, in order
}

// A real MAP file with the sample report put in after every 4 KB (at a line
// end): its figures are those the byte-by-byte scanner gave, before the
// scanner looked for the bytes where it has work sixteen at a time.
TEST(ScanCrashReport, RealMapWithReportsWithin) {
  const auto read = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  };
  const std::string map = read(std::string(QF_REALMAPS_MODERN_DIR) + "/andremussche-VncDllLoader.map");
  const std::string report = read(test::DataFile("crash-report.txt"));
  ASSERT_FALSE(map.empty() || report.empty());
  std::string text;
  for (size_t at = 0; at < map.size();) {
    size_t end = map.find('\n', at + 4096);
    end = end == std::string::npos ? map.size() : end + 1;
    text.append(map, at, end - at);
    text += report;
    at = end;
  }
  ASSERT_EQ(text.size(), 1899868u);
  const std::vector<AddressRef> refs = ScanCrashReport(text);
  size_t rvas = 0;
  uint64_t checksum = 0;
  for (const AddressRef& ref : refs) {
    rvas += ref.rva;
    checksum = checksum * 31 + ref.value + ref.module.size();
  }
  EXPECT_EQ(refs.size(), 64702u);
  EXPECT_EQ(rvas, 405u);
  EXPECT_EQ(checksum, 17441525870236422029ull);
  EXPECT_EQ(ModulesInReport(text), std::vector<std::string>{"VncDllLoader.exe"});
}

TEST(ModuleName, WhichModuleANameMeans) {
  struct Case {
    const char* module;  // as a report or a dump writes it
    const char* name;    // as given, or the MAP file's name without extension
    bool same;
  } const cases[] = {
      {"VncDllLoader.exe", "VncDllLoader", true},
      {"C:\\Program Files\\App\\vncdllloader.DLL", "VncDllLoader", true},
      {"/opt/app/VncDllLoader.bpl", "vncdllloader.bpl", true},
      {"VncDllLoader.exe", "VncDllLoader.exe", true},
      {"VncDllLoader.exe", "VncDllLoader.dll", false},
      {"ntdll.dll", "VncDllLoader", false},
      {"VncDllLoader2.exe", "VncDllLoader", false},
      {"my.app.exe", "my.app", true},
      {"App.exe", "", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsModule(c.module, c.name), c.same) << c.module << " / " << c.name;
  EXPECT_EQ(MapModuleName("C:\\maps\\VncDllLoader.map"), "VncDllLoader");
  EXPECT_EQ(MapModuleName("tests/data/my.app.map"), "my.app");
}

TEST(ReportText, Utf16AndNul) {
  EXPECT_EQ(ReportText(std::string("ab\0cd", 5)), "ab");
  EXPECT_EQ(ReportText(std::string("\xFF\xFE" "A\0\xE9\0\x22\x20" "B\0\0\0C\0", 14)), "A\xE9?B");
}

}  // namespace
}  // namespace qf
