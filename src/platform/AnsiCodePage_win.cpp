#include "AnsiCodePage.h"

#include <windows.h>

#include "base/PathRules.h"

namespace qf {
namespace {

bool SystemLeadByte(unsigned char c) { return IsDBCSLeadByte(c) != FALSE; }

}  // namespace

void UseSystemCodePage() {
  CPINFO info{};
  // A single-byte code page has no lead bytes; the byte rules then stay.
  const bool doubleByte = GetCPInfo(CP_ACP, &info) && info.MaxCharSize > 1;
  SetLeadBytePredicate(doubleByte ? SystemLeadByte : nullptr);
}

}  // namespace qf
