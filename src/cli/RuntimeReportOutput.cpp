#include "RuntimeReportOutput.h"

#include "Commands.h"
#include "SymbolizedOutput.h"

namespace qf::cli {

void AppendRuntimeMessage(std::string& line, const RuntimeMessage& m, bool json) {
  if (m.kind != RuntimeMessage::Kind::Exception) return;
  const size_t end = line.size() - (json ? 2 : 1);
  std::string note;
  if (json) {
    note = ",\"exception_class\":";
    AppendJsonString(note, m.className);
    note += ",\"exception_message\":";
    AppendJsonString(note, m.message);
  } else {
    note = " [" + m.className + (m.message.empty() ? "" : ": " + m.message) + "]";
  }
  line.insert(end, note);
}

void PrintOtherModuleText(std::ostream& err, std::string_view report, const RuntimeMessage& m, const std::string& ours) {
  std::string_view text = report.substr(m.start, m.end - m.start);
  text = text.substr(0, text.find_first_of("\r\n"));
  PrintError(err, "skipped \"" + std::string(text) + "\": its module " + m.address.module +
                      " is not the MAP file's module (" + ours + ")");
}

}  // namespace qf::cli
