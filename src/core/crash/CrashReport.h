// Addresses as people write them: one address given on a command line, and
// every address that a crash report (an exception dialog's text, a stack
// trace, a Windows Application Error event) mentions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qf {

// One address as written. An absolute address is read in the layout of the
// module's MAP file (or at the base it was loaded at); an RVA is an offset
// from the module's base.
struct AddressRef {
  uint64_t value = 0;
  bool rva = false;
  std::string module;  // the MODULE of MODULE+0xRVA, else empty
};

// "004E6446", "0x004E6446", "$004E6446" (1 to 16 hexadecimal digits) or
// "MODULE+0xRVA" ("Project1.exe+0x5794F"). Anything else: no value.
std::optional<AddressRef> ParseAddress(std::string_view text);

// The text of a report file as bytes of one byte a character: a file in
// UTF-16 LE (with its byte-order mark, as the event viewer saves one, or
// without it: a first byte followed by NUL) keeps
// its characters below 0x100 and gets "?" for the others; any other file is
// taken as it is, up to its first NUL.
std::string ReportText(std::string_view fileBytes);

// Every address a report mentions, in order, repeats kept:
// - each maximal run of 8 or 16 hexadecimal digits between characters that
//   are neither letters, digits nor "_", optionally preceded by 0x or $;
// - each MODULE+0xRVA (an RVA with its module);
// - the RVA after "Fault offset: 0x" (an RVA; the run is not read again as
//   an absolute address), with the module of the nearest "Faulting module
//   name:" before it, where the report has one.
std::vector<AddressRef> ScanCrashReport(std::string_view report);

// The Delphi run-time's own texts (in its English wording) of an exception
// a program did not handle:
//   Exception CLASS in module MODULE at HEX.      HEX an RVA ("$" optional);
//                                                 the message after it on
//                                                 the line, else on the next
//   Access violation at address HEX in module 'MODULE'. Read of address HEX
//                                                 (or Write); HEX an address,
//                                                 the second one the data's
struct RuntimeMessage {
  enum class Kind { Exception, AccessViolation };
  Kind kind = Kind::Exception;
  AddressRef address;     // with its module; an RVA for the first text
  std::string className;  // EAccessViolation for the second text
  std::string message;    // for the second text: "Read of address 00000000"
  size_t start = 0, end = 0;  // where the text (with its message) lies in the report
};
std::vector<RuntimeMessage> DelphiRuntimeMessages(std::string_view report);

// An address of a report, and the run-time text of `messages` it is the
// address of (none: another).
struct ReportAddress {
  AddressRef ref;
  std::optional<size_t> message;
};
// ScanCrashReport's addresses with the run-time's texts read as such: in
// each text's place its address (never its data address), none of the
// other runs of digits in it.
std::vector<ReportAddress> ScanReport(std::string_view report, const std::vector<RuntimeMessage>& messages);

// The module names a report mentions, each once, in order of first
// appearance: MODULE+0xRVA, "in module 'X'", "Faulting application name: X"
// and "Faulting module name: X".
std::vector<std::string> ModulesInReport(std::string_view report);

}  // namespace qf
