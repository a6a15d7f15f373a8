// Borland's mangled names, read from left to right in one pass:
//
//   name      := '@' ['@'] component { '@' ['@'] component } ['@'] ['$' function]
//              | '@$xt$' type | '@$xp$' type                 (type descriptors)
//   component := identifier | '%' identifier '$' targ { targ } '%' | '$b' opcode | '$o' type
//   targ      := ['t'] type | ['$'] 'i' type '$' number | '$e' ['&'] '@' components '$'
//   function  := ['x'] ['w'] 'q' [ 'q' ('r' | 's' | 'p') ] params [ '$' type ]
//   type      := 'x' type | 'w' type | 'p' type | 'r' type | 'h' type | 'yn' 'p' type
//              | basic | 'u' basic | 'zc' | 'a' digits '$' type | 'M' counted type
//              | 'q' [cc] params '$' type | 't' index | counted
//   counted   := digits and that many characters holding components joined by '@'
//
// An empty component ("@@") makes the next one a procedure of the run-time
// (__linkproc__); a trailing '@' names the class's virtual table. Back references
// 't1'..'t9', 'ta'..'tz' repeat a parameter of the list being read; inside a
// template's arguments 't' marks a type argument, "$i<type>$<value>" an
// integral one and "$e&@<name>$" the address of an object (the '$' before the
// first argument is the one after the template's name).
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "names/Demangle.h"

namespace qf {
namespace {

constexpr int kMaxDepth = 48;   // nesting of types, templates and counted names
constexpr std::size_t kMaxParams = 64;
constexpr std::size_t kMaxBorlandName = 4096;

// A type as the two halves of a C declarator around the spot where a name or
// an inner declarator goes: "void (__fastcall *" + ")(System::TObject *)".
struct TypeText {
  enum Shape { Plain, Pointer, Function, Array };
  std::string left;
  std::string right;
  Shape shape = Plain;
  std::string convention;  // of a function type, shown inside the parentheses of its pointer
};

// A pointer to a function or an array: the declarator goes in parentheses,
// the function's calling convention inside them ("void (__fastcall *)(int)").
void OpenGroup(TypeText& out) {
  out.left += '(';
  if (!out.convention.empty()) {
    out.left += out.convention;
    out.left += ' ';
    out.convention.clear();
  }
  out.right.insert(0, 1, ')');
}

struct OperatorCode {
  std::string_view code;
  std::string_view text;
};

// The operator codes of "$b<code>" and their C++ spelling.
constexpr OperatorCode kOperators[] = {
    {"add", "operator +"},   {"sub", "operator -"},    {"mul", "operator *"},    {"div", "operator /"},
    {"mod", "operator %"},   {"and", "operator &"},    {"or", "operator |"},     {"xor", "operator ^"},
    {"lsh", "operator <<"},  {"rsh", "operator >>"},   {"asg", "operator ="},    {"rplu", "operator +="},
    {"rmin", "operator -="}, {"rmul", "operator *="},  {"rdiv", "operator /="},  {"rmod", "operator %="},
    {"rand", "operator &="}, {"ror", "operator |="},   {"rxor", "operator ^="},  {"rlsh", "operator <<="},
    {"rrsh", "operator >>="}, {"eql", "operator =="},  {"neq", "operator !="},   {"lss", "operator <"},
    {"gtr", "operator >"},   {"leq", "operator <="},   {"geq", "operator >="},   {"not", "operator !"},
    {"cmp", "operator ~"},   {"land", "operator &&"},  {"lor", "operator ||"},   {"inc", "operator ++"},
    {"dec", "operator --"},  {"coma", "operator ,"},   {"arow", "operator ->"},  {"arwm", "operator ->*"},
    {"call", "operator ()"}, {"fnc", "operator ()"},   {"subs", "operator []"},  {"ind", "operator *"},
    {"adr", "operator &"},   {"new", "operator new"},  {"dele", "operator delete"}, {"nwa", "operator new[]"},
    {"dla", "operator delete[]"},
};

// The characters of the scheme: a name with any other is not one of its names.
bool IsSchemeChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '@' ||
         c == '$' || c == '%' || c == '&' || c == '-';
}
bool IsIdentifierChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool EndsDeclarator(const std::string& s) { return !s.empty() && (s.back() == '*' || s.back() == '&'); }

// Type codes without counted names, all in capitals: "QV".
bool IsUpperCaseCodes(std::string_view codes) {
  if (codes.empty()) return false;
  for (const char c : codes) {
    if (c < 'A' || c > 'Z') return false;
  }
  return true;
}

// The type's text appended to out: "const System::TObject &".
void AppendType(std::string& out, const TypeText& type) {
  const std::size_t start = out.size();
  out += type.left;
  out += type.right;
  while (out.size() > start && out.back() == ' ') out.pop_back();
}

class Reader {
 public:
  explicit Reader(std::string_view text) : s_(text) {}

  bool Read(DemangleStyle style, std::string& out);

 private:
  enum class Special { None, Constructor, Destructor, ClassConstructor, ClassDestructor, Operator, Conversion };
  // A qualified name as it is read: the text of its parts so far
  // ("System::Set<Dialogs::TMsgDlgBtn, 0, 10>"), the bare name of the last one
  // ("Set", the name of its constructor) and how its last part is special.
  struct QualifiedName {
    std::string text;
    std::string_view bare;
    std::size_t parts = 0;
    bool linkproc = false;      // some part is a procedure of the run-time
    Special special = Special::None;
    std::string_view specialText;  // the operator
    TypeText conversion;           // the type of "operator <type>"
    bool virtualTable = false;
  };
  struct Function {
    std::string convention;
    std::string params;
    std::string_view memberQualifiers;  // " const", " volatile", " const volatile"
    TypeText result;  // of a template function only
    bool hasResult = false;
  };

  bool AtEnd() const { return pos_ >= end_; }
  char Peek() const { return pos_ < end_ ? s_[pos_] : '\0'; }
  bool Take(char c) {
    if (Peek() != c) return false;
    ++pos_;
    return true;
  }

  bool ReadNumber(std::size_t& value);
  bool ReadIdentifier(std::string_view& out);
  bool ReadComponents(QualifiedName& name, bool topLevel);
  bool ReadSpecial(QualifiedName& name);
  bool ReadTemplate(std::string& out, std::string_view& bare);
  bool ReadValueArgument(std::string& args);
  bool ReadCounted(std::string& out);
  bool ReadFunction(Function& f);
  bool ReadConvention(std::string& convention);
  bool ReadParams(std::string& out, char stop);
  bool ReadType(TypeText& out, const std::vector<TypeText>* params);
  static void FinishName(QualifiedName& name);

  std::string_view s_;
  std::size_t pos_ = 0;
  std::size_t end_ = s_.size();
  int depth_ = 0;
};

// Depth guard of the recursive readers.
class Nested {
 public:
  explicit Nested(int& depth) : depth_(depth) { ++depth_; }
  ~Nested() { --depth_; }
  Nested(const Nested&) = delete;
  Nested& operator=(const Nested&) = delete;
  bool TooDeep() const { return depth_ > kMaxDepth; }

 private:
  int& depth_;
};

bool Reader::ReadNumber(std::size_t& value) {
  if (!IsDigit(Peek())) return false;
  value = 0;
  while (IsDigit(Peek())) {
    value = value * 10 + static_cast<std::size_t>(s_[pos_++] - '0');
    if (value > 1000000000) return false;
  }
  return true;
}

bool Reader::ReadIdentifier(std::string_view& out) {
  const std::size_t start = pos_;
  while (pos_ < end_ && IsIdentifierChar(s_[pos_])) ++pos_;
  if (pos_ == start) return false;
  out = s_.substr(start, pos_ - start);
  return true;
}

// The special last part appended to the name's text.
void Reader::FinishName(QualifiedName& name) {
  const bool member = name.parts != 0;
  switch (name.special) {
    case Special::None: return;
    case Special::Constructor: name.text += "::"; break;
    case Special::Destructor: name.text += "::~"; break;
    case Special::ClassConstructor: name.text += "::__class_ctor"; return;
    case Special::ClassDestructor: name.text += "::__class_dtor"; return;
    case Special::Operator:
      if (member) name.text += "::";
      name.text += name.specialText;
      return;
    case Special::Conversion:
      if (member) name.text += "::";
      name.text += "operator ";
      AppendType(name.text, name.conversion);
      return;
  }
  name.text += name.bare;
}

// Components up to the end of the range or, at the top level, a '$' that
// starts the function part (left unread).
bool Reader::ReadComponents(QualifiedName& name, bool topLevel) {
  Nested nested(depth_);
  if (nested.TooDeep()) return false;
  bool linkproc = false;
  for (;;) {
    if (Take('@')) {
      if (linkproc || AtEnd()) return false;
      linkproc = true;
      continue;
    }
    if (Peek() == '$') {
      if (linkproc) return false;
      if (!ReadSpecial(name) || !(AtEnd() || (topLevel && Peek() == '$'))) return false;
      FinishName(name);
      return true;
    }
    if (name.parts != 0) name.text += "::";
    if (linkproc) name.text += "__linkproc__ ";
    name.linkproc = name.linkproc || linkproc;
    linkproc = false;
    if (Peek() == '%') {
      if (!ReadTemplate(name.text, name.bare)) return false;
    } else {
      if (!ReadIdentifier(name.bare)) return false;
      name.text += name.bare;
    }
    ++name.parts;
    if (AtEnd()) return true;
    if (Peek() == '$') return topLevel;
    if (!Take('@')) return false;
    if (AtEnd()) {
      if (!topLevel) return false;
      name.virtualTable = true;
      return true;
    }
  }
}

// "$bctr", "$b<operator>", "$o<type>": the last component.
bool Reader::ReadSpecial(QualifiedName& name) {
  if (!Take('$')) return false;
  if (Take('o')) {
    if (!ReadType(name.conversion, nullptr) || name.conversion.shape == TypeText::Function) return false;
    name.special = Special::Conversion;
    return true;
  }
  if (!Take('b')) return false;
  const std::size_t start = pos_;
  while (pos_ < end_ && s_[pos_] >= 'a' && s_[pos_] <= 'z') ++pos_;
  const std::string_view code = s_.substr(start, pos_ - start);
  if (code == "ctr" || code == "dtr" || code == "cctr" || code == "cdtr") {
    if (name.parts == 0) return false;
    name.special = code == "ctr"    ? Special::Constructor
                   : code == "dtr"  ? Special::Destructor
                   : code == "cctr" ? Special::ClassConstructor
                                    : Special::ClassDestructor;
    return true;
  }
  for (const OperatorCode& op : kOperators) {
    if (op.code == code) {
      name.special = Special::Operator;
      name.specialText = op.text;
      return true;
    }
  }
  return false;
}

// "%Name$args%": a template and its arguments, appended to out.
bool Reader::ReadTemplate(std::string& out, std::string_view& bare) {
  Nested nested(depth_);
  if (nested.TooDeep() || !Take('%')) return false;
  if (!ReadIdentifier(bare) || !Take('$')) return false;
  out += bare;
  out += '<';
  std::size_t count = 0;
  while (!Take('%')) {
    if (AtEnd() || ++count > kMaxParams) return false;
    if (count > 1) out += ", ";
    // A value argument follows a '$' (the one after the template's name for
    // the first argument, where "i" may also be the type int).
    const bool value = Take('$');
    if (value || count == 1) {
      const std::size_t at = pos_;
      const std::size_t before = out.size();
      if (ReadValueArgument(out)) continue;
      if (value) return false;
      pos_ = at;
      out.resize(before);
    }
    Take('t');
    TypeText type;
    if (!ReadType(type, nullptr)) return false;
    AppendType(out, type);
  }
  if (count == 0) return false;
  out += out.back() == '>' ? " >" : ">";
  return true;
}

// "i<type>$<value>" (an integral constant) or "e&@<name>$" (the address of an
// object), appended to args.
bool Reader::ReadValueArgument(std::string& args) {
  if (Take('e')) {
    const bool address = Take('&');
    const std::size_t close = s_.find('$', pos_);
    if (!Take('@') || close == std::string_view::npos || close >= end_) return false;
    const std::size_t outerEnd = end_;
    end_ = close;
    QualifiedName object;
    const bool read = ReadComponents(object, false) && AtEnd() && object.special == Special::None;
    end_ = outerEnd;
    if (!read || !Take('$')) return false;
    if (address) args += '&';
    args += object.text;
    return true;
  }
  TypeText type;
  if (!Take('i') || !ReadType(type, nullptr) || type.shape != TypeText::Plain || !Take('$')) return false;
  const std::size_t start = pos_;
  Take('-');
  std::size_t number = 0;
  if (!ReadNumber(number)) return false;
  args += s_.substr(start, pos_ - start);
  return true;
}

// A length-prefixed qualified name: "14System@TObject".
bool Reader::ReadCounted(std::string& out) {
  std::size_t length = 0;
  if (!ReadNumber(length) || length == 0 || length > end_ - pos_) return false;
  const std::size_t outerEnd = end_;
  end_ = pos_ + length;
  QualifiedName name;
  const bool read = ReadComponents(name, false) && AtEnd() && name.special == Special::None;
  end_ = outerEnd;
  if (!read) return false;
  out = std::move(name.text);
  return true;
}

bool Reader::ReadConvention(std::string& convention) {
  if (!Take('q')) return true;
  switch (Peek()) {
    case 'r': convention = "__fastcall"; break;
    case 's': convention = "__stdcall"; break;
    case 'p': convention = "__pascal"; break;
    default: return false;
  }
  ++pos_;
  return true;
}

// Parameters up to the end of the range or the stop character (left unread),
// appended to out: "v" alone is an empty list, "e" the ellipsis (last).
bool Reader::ReadParams(std::string& out, char stop) {
  std::vector<TypeText> params;
  bool ellipsis = false;
  const std::size_t start = out.size();
  while (!AtEnd() && Peek() != stop) {
    if (ellipsis || params.size() >= kMaxParams) return false;
    if (Take('e')) {
      ellipsis = true;
      continue;
    }
    params.emplace_back();
    TypeText& type = params.back();
    if (!ReadType(type, &params)) return false;
    if (type.shape == TypeText::Plain && type.left == "void") {
      // "v": no parameters, alone.
      if (params.size() != 1 || (!AtEnd() && Peek() != stop)) return false;
      return true;
    }
    if (out.size() != start) out += ", ";
    AppendType(out, type);
  }
  if (params.empty() && !ellipsis) return false;
  if (ellipsis) out += params.empty() ? "..." : ", ...";
  return true;
}

bool Reader::ReadType(TypeText& out, const std::vector<TypeText>* params) {
  Nested nested(depth_);
  if (nested.TooDeep() || AtEnd()) return false;
  const char c = s_[pos_++];
  const auto basic = [](char code) -> std::string_view {
    switch (code) {
      case 'v': return "void";
      case 'c': return "char";
      case 'b': return "wchar_t";
      case 's': return "short";
      case 'i': return "int";
      case 'l': return "long";
      case 'j': return "__int64";
      case 'f': return "float";
      case 'd': return "double";
      case 'g': return "long double";
      case 'o': return "bool";
      default: return {};
    }
  };
  out.left.clear();
  out.right.clear();
  out.convention.clear();
  out.shape = TypeText::Plain;
  switch (c) {
    case 'x':
    case 'w': {
      if (!ReadType(out, params) || out.shape == TypeText::Function) return false;
      if (out.shape == TypeText::Pointer) {
        out.left += c == 'x' ? " const" : " volatile";
      } else {
        out.left.insert(0, c == 'x' ? "const " : "volatile ");
      }
      return true;
    }
    case 'u': {
      const char k = Peek();
      if (k != 'c' && k != 's' && k != 'i' && k != 'l' && k != 'j') return false;
      ++pos_;
      out.left = "unsigned ";
      out.left += basic(k);
      return true;
    }
    case 'z':
      if (!Take('c')) return false;
      out.left = "signed char";
      return true;
    case 'p':
    case 'r':
    case 'h':
    case 'y': {
      bool closure = false;
      char kind = c;
      if (c == 'y') {
        if (!Take('n') || !Take('p')) return false;
        closure = true;
        kind = 'p';
      }
      if (!ReadType(out, params)) return false;
      if (closure && out.shape != TypeText::Function) return false;
      const char* mark = kind == 'p' ? "*" : kind == 'r' ? "&" : "&&";
      if (out.shape == TypeText::Function || out.shape == TypeText::Array) {
        OpenGroup(out);
        if (closure) out.left += "__closure ";
        out.left += mark;
      } else {
        if (!EndsDeclarator(out.left)) out.left += ' ';
        out.left += mark;
      }
      out.shape = TypeText::Pointer;
      return true;
    }
    case 'a': {
      std::size_t count = 0;
      if (!ReadNumber(count) || !Take('$')) return false;
      if (!ReadType(out, params) || out.shape == TypeText::Function) return false;
      const std::string bound = "[" + std::to_string(count) + "]";
      if (out.right.empty()) {
        if (!EndsDeclarator(out.left)) out.left += ' ';
        out.right = bound;
      } else {
        out.right.insert(0, bound);
      }
      out.shape = TypeText::Array;
      return true;
    }
    case 'M': {
      std::string owner;
      if (!ReadCounted(owner) || !ReadType(out, params)) return false;
      if (out.shape == TypeText::Function || out.shape == TypeText::Array) {
        OpenGroup(out);
      } else {
        out.left += ' ';
      }
      out.left += owner;
      out.left += "::*";
      out.shape = TypeText::Pointer;
      return true;
    }
    case 'q': {
      std::string convention;
      std::string list = "(";
      if (!ReadConvention(convention) || !ReadParams(list, '$') || !Take('$') || !ReadType(out, params)) {
        return false;
      }
      if (out.shape == TypeText::Array || out.shape == TypeText::Function) return false;
      if (out.right.empty() && !EndsDeclarator(out.left)) out.left += ' ';
      list += ')';
      out.right.insert(0, list);
      out.shape = TypeText::Function;
      out.convention = std::move(convention);
      return true;
    }
    case 't': {
      if (params == nullptr || AtEnd()) return false;
      const char k = s_[pos_++];
      std::size_t index = 0;
      if (k >= '1' && k <= '9') {
        index = static_cast<std::size_t>(k - '0');
      } else if (k >= 'a' && k <= 'z') {
        index = static_cast<std::size_t>(k - 'a') + 10;
      } else {
        return false;
      }
      // The parameter being read is the last one of the list.
      if (index + 1 > params->size()) return false;
      out = (*params)[index - 1];
      return true;
    }
    default:
      break;
  }
  if (IsDigit(c)) {
    --pos_;
    return ReadCounted(out.left);
  }
  const std::string_view name = basic(c);
  if (name.empty()) return false;
  out.left = name;
  return true;
}

bool Reader::ReadFunction(Function& f) {
  if (Take('x')) {
    f.memberQualifiers = Take('w') ? " const volatile" : " const";
  } else if (Take('w')) {
    f.memberQualifiers = " volatile";
  }
  if (!Take('q') || !ReadConvention(f.convention) || !ReadParams(f.params, '$')) return false;
  if (Take('$')) {
    if (!ReadType(f.result, nullptr) || f.result.shape == TypeText::Function || f.result.shape == TypeText::Array) {
      return false;
    }
    f.hasResult = true;
  }
  return AtEnd();
}

bool Reader::Read(DemangleStyle style, std::string& out) {
  if (!Take('@') || AtEnd()) return false;
  for (const char c : s_) {
    if (!IsSchemeChar(c)) return false;
  }
  // Type descriptors of the run-time type information.
  if (s_.substr(pos_, 4) == "$xt$" || s_.substr(pos_, 4) == "$xp$") {
    pos_ += 4;
    TypeText type;
    if (!ReadType(type, nullptr) || !AtEnd()) return false;
    out = "__tpdsc__ ";
    AppendType(out, type);
    return true;
  }
  QualifiedName name;
  if (!ReadComponents(name, true)) return false;
  if (name.virtualTable) {
    out = "vtable for ";
    out += name.text;
    return true;
  }
  if (!Take('$')) {
    // "@GetMem", "@C1_0": a Delphi run-time or local label, not a mangled name.
    if (name.special != Special::None || (name.parts < 2 && !name.linkproc)) return false;
    out = std::move(name.text);
    return true;
  }
  Function f;
  if (IsUpperCaseCodes(s_.substr(pos_))) {
    // A pascal function of the old compilers: the whole name in capitals.
    std::string lowered(s_.substr(pos_));
    for (char& c : lowered) c = static_cast<char>(c - 'A' + 'a');
    Reader codes(lowered);
    if (!codes.ReadFunction(f)) return false;
    if (f.convention.empty()) f.convention = "__pascal";
  } else if (!ReadFunction(f)) {
    return false;
  }
  if (style == DemangleStyle::Short) {
    out = std::move(name.text);
    return true;
  }
  // A result that is a pointer to a function or an array wraps the name:
  // "int (*f(char))(double)".
  out.clear();
  if (f.hasResult) {
    out += f.result.left;
    if (f.result.right.empty() && !EndsDeclarator(out)) out += ' ';
  }
  if (!f.convention.empty()) {
    out += f.convention;
    out += ' ';
  }
  out += name.text;
  out += '(';
  out += f.params;
  out += ')';
  out += f.memberQualifiers;
  if (f.hasResult) out += f.result.right;
  return true;
}

}  // namespace

bool DemangleBorland(std::string_view linkerName, DemangleStyle style, std::string& out) {
  // The object files of these compilers hold names of at most 255 characters
  // (one byte of length); a much longer one is not theirs.
  if (linkerName.size() < 2 || linkerName.size() > kMaxBorlandName || linkerName[0] != '@') return false;
  std::string text;
  if (!Reader(linkerName).Read(style, text)) return false;
  out = std::move(text);
  return true;
}

}  // namespace qf
