// How symbolize --report and db symbolize --report show the Delphi
// run-time's own texts (crash/CrashReport.h, DelphiRuntimeMessages): the
// answer of the text's address names its class and message; a text of
// another module than the MAP file's gets one line on standard error.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "crash/CrashReport.h"

namespace qf::cli {

// Appends to the answer line of an exception's text (plain, ending in a line end; or JSON, ending
// in "}" and a line end) " [CLASS: MESSAGE]", or the JSON fields
// "exception_class" and "exception_message".
void AppendRuntimeMessage(std::string& line, const RuntimeMessage& m, bool json);

// skipped "TEXT": its module MODULE is not the MAP file's module (OURS)
void PrintOtherModuleText(std::ostream& err, std::string_view report, const RuntimeMessage& m, const std::string& ours);

}  // namespace qf::cli
