// Fast libFuzzer target of the crash-report scanner: the input is read once
// as a report file and its addresses and modules are checked against the
// text they came from.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "base/LineIterator.h"
#include "crash/CrashReport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string report = qf::ReportText(input);
  QF_CHECK(report.size() <= size && report.find('\0') == std::string::npos);

  // Each address takes at least four characters of the report (a module
  // name and "+0x" may be shared by two); every module named stands in it
  // (before "+0x", or after "Faulting module name:").
  const std::vector<qf::AddressRef> found = qf::ScanCrashReport(report);
  QF_CHECK(found.size() * 4 <= report.size() + 4);
  qf::fuzz::NamesInText names(report);
  for (const qf::AddressRef& ref : found) {
    QF_CHECK(ref.module.empty() || (ref.rva && names.Holds(ref.module)));
  }
  const std::vector<std::string> modules = qf::ModulesInReport(report);
  for (const std::string& module : modules) {
    QF_CHECK(!module.empty() && module.find_first_of("\r\n") == std::string::npos && names.Holds(module));
  }

  // The first lines read as single addresses (as typed on a command line).
  int count = 0;
  for (qf::LineIterator it(report); !it.AtEnd() && count < 16; ++it, ++count) {
    const std::string_view line = *it;
    const auto ref = qf::ParseAddress(line);
    if (!ref) continue;
    QF_CHECK(ref->rva == !ref->module.empty());
    QF_CHECK(!ref->rva || line.substr(0, ref->module.size() + 1) == ref->module + "+");
  }
  return 0;
}
