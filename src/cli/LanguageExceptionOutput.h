// How symbolize --minidump and db symbolize --minidump show the exception of
// a Delphi, C++Builder or Free Pascal program (crash/LanguageException.h):
// the exception line names the class, the message and the raise address,
// the next line the raising frame; JSON "language_exception". The walk to
// the raising frame is the core's (crash/RaiseWalk.h).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <vector>

#include "crash/LanguageException.h"
#include "crash/RaiseWalk.h"
#include "SymbolizedOutput.h"
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

// "Exception CLASS (MESSAGE) raised at ADDRESS in thread ID" and
// "raised at: ADDRESS MODULE+0xOFFSET ANSWER"; digits: of an address; names:
// how the raising function is named.
void PrintLanguageExceptionText(std::ostream& out, const LanguageException& e, uint32_t code, uint32_t threadId,
                                int digits, const NameAddress& name, FunctionNames names);
// ,"language_exception":{"kind","class","message","raise_address","raise_frame","parents",...}
void PrintLanguageExceptionJson(std::ostream& out, const LanguageException& e, int digits, const NameAddress& name,
                                FunctionNames names);

}  // namespace qf::cli
