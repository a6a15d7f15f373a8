#include "LanguageExceptionOutput.h"

#include "SymbolizedOutput.h"

namespace qf::cli {
namespace {

std::string Address(uint64_t value, int digits) { return "0x" + Hex(value, digits); }

}  // namespace

void PrintLanguageExceptionText(std::ostream& out, const LanguageException& e, uint32_t code, uint32_t threadId,
                                int digits, const NameAddress& name, FunctionNames names) {
  out << "Exception ";
  if (e.className) {
    out << *e.className;
    if (e.message && !e.message->empty())
      out << " (" << *e.message << ')';
    else if (!e.whyNoMessage.empty())
      out << " (message unknown: " << e.whyNoMessage << ')';
  } else {
    out << "0x" << Hex(code, 8);
    out << " (";
    if (const auto codeName = ExceptionCodeName(code)) out << *codeName << "; ";
    out << "class unknown: " << e.whyNoClass << ')';
  }
  out << " raised at " << Address(e.raiseAddress, digits) << " in thread " << threadId << '\n';
  const NamedAddress named = name(e.raiseAddress);
  out << "raised at: " << Address(e.raiseAddress, digits) << ' ';
  if (!named.module) {
    out << "??";
  } else {
    out << named.module->Name() << "+0x" << Hex(e.raiseAddress - named.module->base, 1);
    if (named.hasMap) {
      out << ' ';
      PrintAfterAddress(out, named.symbolized, names);
    }
  }
  out << '\n';
}

void PrintLanguageExceptionJson(std::ostream& out, const LanguageException& e, int digits, const NameAddress& name,
                                FunctionNames names) {
  out << ",\"language_exception\":{\"kind\":\"" << e.KindName() << '"';
  JsonField(out, "class", e.className);
  if (!e.className) JsonField(out, "why_no_class", e.whyNoClass);
  if (!e.layout.empty()) JsonField(out, "layout", e.layout);
  JsonField(out, "message", e.message);
  if (!e.message && !e.whyNoMessage.empty()) JsonField(out, "why_no_message", e.whyNoMessage);
  out << ",\"raise_address\":\"" << Address(e.raiseAddress, digits) << "\",\"raise_frame\":{";
  const NamedAddress named = name(e.raiseAddress);
  out << "\"module\":";
  if (named.module) {
    JsonString(out, named.module->Name());
    out << ",\"module_offset\":" << e.raiseAddress - named.module->base;
  } else {
    out << "null,\"module_offset\":null";
  }
  PrintJsonSymbolFields(out, named.symbolized, names);
  out << "},\"parents\":[";
  for (size_t i = 0; i < e.parents.size(); ++i) {
    if (i) out << ',';
    JsonString(out, e.parents[i]);
  }
  out << "]}";
}

}  // namespace qf::cli
