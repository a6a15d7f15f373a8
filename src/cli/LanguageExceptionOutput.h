// How symbolize --minidump and db symbolize --minidump show the exception of
// a Delphi, C++Builder or Free Pascal program (crash/LanguageException.h):
// the exception line names the class, the message and the raise address,
// the next line the raising frame; JSON "language_exception"; and where the
// walk of the raising thread does not reach the raising frame, that frame
// (found_by "exception") and the walk from the registers the run-time
// passed.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <vector>

#include "crash/LanguageException.h"
#include "crash/StackWalk.h"
#include "map/SymbolMap.h"

namespace qf::cli {

// An address as the printer names it: its module (null: none) and, where
// the module has a MAP file, its answer, looked up as a caller's (address - 1).
struct NamedAddress {
  const MinidumpModule* module = nullptr;
  bool hasMap = false;
  Symbolized symbolized;
};
using NameAddress = std::function<NamedAddress(uint64_t)>;

// The language exception of the dump, its class tables read from the dump's
// memory, else from the images of the walk (imageOf: null for none).
std::optional<LanguageException> DumpLanguageException(const Minidump& dump,
                                                       const std::function<const ModuleImage*(const MinidumpModule&)>& imageOf);

// The frames of the raising thread, walked from the exception's context:
// unless a frame after frame 0 is the raise address or a return into the
// function that holds it (options.functionAt), the frames from the first
// one in the raising module on are replaced by the raise address (found by
// Exception) and the walk from the registers the run-time passed (where it
// passed them).
void ReachRaiseFrame(const Minidump& dump, const LanguageException& e, const MinidumpMemory& stack,
                     const StackWalkOptions& options, std::vector<StackFrame>& frames);

// "Exception CLASS (MESSAGE) raised at ADDRESS in thread ID" and
// "raised at: ADDRESS MODULE+0xOFFSET ANSWER"; digits: of an address.
void PrintLanguageExceptionText(std::ostream& out, const LanguageException& e, uint32_t code, uint32_t threadId,
                                int digits, const NameAddress& name);
// ,"language_exception":{"kind","class","message","raise_address","raise_frame","parents",...}
void PrintLanguageExceptionJson(std::ostream& out, const LanguageException& e, int digits, const NameAddress& name);

}  // namespace qf::cli
