// Borland's mangled names, read from left to right in one pass:
//
//   name      := '@' ['@'] component { '@' ['@'] component } ['@'] ['$' function]
//              | '@$xt$' type | '@$xp$' type                 (type descriptors)
//   component := identifier | '%' identifier '$' { targ } '%' | '$b' opcode | '$o' type
//   function  := { 'x' | 'w' } 'q' [ 'q' ('r' | 's' | 'p') ] params [ '$' type ]
//   type      := 'x' type | 'w' type | 'p' type | 'r' type | 'h' type | 'yn' 'p' type
//              | basic | 'u' basic | 'zc' | 'a' digits '$' type | 'M' counted type
//              | 'q' [cc] params '$' type | 't' index | counted
//   counted   := digits and that many characters holding components joined by '@'
//
// An empty component ("@@") makes the next one a procedure of the run-time
// (__linkproc__); a trailing '@' names the class's virtual table. Back references
// 't1'..'t9', 'ta'..'tz' repeat a parameter of the list being read; inside a
// template's arguments 't' marks a type argument and "$i<type>$<value>" an
// integral one.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "names/Demangle.h"

namespace qf {
namespace {

constexpr int kMaxDepth = 48;   // nesting of types, templates and counted names
constexpr std::size_t kMaxParams = 64;

// A type as the two halves of a C declarator around the spot where a name or
// an inner declarator goes: "void (__fastcall *" + ")(System::TObject *)".
struct TypeText {
  enum Shape { Plain, Pointer, Function, Array };
  std::string left;
  std::string right;
  Shape shape = Plain;
  std::string convention;  // of a function type, shown inside the parentheses of its pointer
};

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

bool IsIdentifierChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
// Type codes without counted names, all in capitals: "QV".
bool IsUpperCaseCodes(std::string_view codes) {
  if (codes.empty()) return false;
  for (const char c : codes) {
    if (c < 'A' || c > 'Z') return false;
  }
  return true;
}
bool EndsDeclarator(const std::string& s) { return !s.empty() && (s.back() == '*' || s.back() == '&'); }

std::string Joined(const std::string& left, const std::string& right) {
  std::string text = left + right;
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

class Reader {
 public:
  explicit Reader(std::string_view text) : s_(text) {}

  bool Read(DemangleStyle style, std::string& out);

 private:
  // One part of a qualified name: its text ("Set<Dialogs::TMsgDlgBtn, 0, 10>") and
  // its bare name ("Set", the name of its constructor).
  struct Component {
    std::string text;
    std::string bare;
  };
  enum class Special { None, Constructor, Destructor, ClassConstructor, ClassDestructor, Operator, Conversion };
  struct QualifiedName {
    std::vector<Component> parts;
    std::vector<bool> linkproc;  // per part: preceded by an empty component
    Special special = Special::None;
    std::string specialText;     // the operator or "operator <type>"
    bool virtualTable = false;
  };
  struct Function {
    std::string convention;
    std::string params;
    std::string memberQualifiers;  // " const", " volatile"
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
  bool ReadIdentifier(std::string& out);
  bool ReadComponents(QualifiedName& name, bool topLevel);
  bool ReadSpecial(QualifiedName& name);
  bool ReadTemplate(Component& out);
  bool ReadValueArgument(std::string& args);
  bool ReadCounted(std::string& out);
  bool ReadFunction(Function& f);
  bool ReadConvention(std::string& convention);
  bool ReadParams(std::string& out, char stop);
  bool ReadType(TypeText& out, const std::vector<TypeText>* params);
  static std::string QualifiedText(const QualifiedName& name);

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

bool Reader::ReadIdentifier(std::string& out) {
  const std::size_t start = pos_;
  while (pos_ < end_ && IsIdentifierChar(s_[pos_])) ++pos_;
  if (pos_ == start) return false;
  out.assign(s_.substr(start, pos_ - start));
  return true;
}

std::string Reader::QualifiedText(const QualifiedName& name) {
  std::string text;
  for (std::size_t i = 0; i < name.parts.size(); ++i) {
    if (i != 0) text += "::";
    if (name.linkproc[i]) text += "__linkproc__ ";
    text += name.parts[i].text;
  }
  const std::string bare = name.parts.empty() ? std::string() : name.parts.back().bare;
  switch (name.special) {
    case Special::None: break;
    case Special::Constructor: text += "::" + bare; break;
    case Special::Destructor: text += "::~" + bare; break;
    case Special::ClassConstructor: text += "::__class_ctor"; break;
    case Special::ClassDestructor: text += "::__class_dtor"; break;
    case Special::Operator:
    case Special::Conversion: text += (name.parts.empty() ? "" : "::") + name.specialText; break;
  }
  return text;
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
      return ReadSpecial(name) && (AtEnd() || (topLevel && Peek() == '$'));
    }
    Component part;
    if (Peek() == '%') {
      if (!ReadTemplate(part)) return false;
    } else {
      if (!ReadIdentifier(part.text)) return false;
      part.bare = part.text;
    }
    name.parts.push_back(std::move(part));
    name.linkproc.push_back(linkproc);
    linkproc = false;
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
    TypeText type;
    if (!ReadType(type, nullptr) || type.shape == TypeText::Function) return false;
    name.special = Special::Conversion;
    name.specialText = "operator " + Joined(type.left, type.right);
    return true;
  }
  if (!Take('b')) return false;
  const std::size_t start = pos_;
  while (pos_ < end_ && s_[pos_] >= 'a' && s_[pos_] <= 'z') ++pos_;
  const std::string_view code = s_.substr(start, pos_ - start);
  const bool member = !name.parts.empty();
  if (code == "ctr" || code == "dtr" || code == "cctr" || code == "cdtr") {
    if (!member) return false;
    name.special = code == "ctr"    ? Special::Constructor
                   : code == "dtr"  ? Special::Destructor
                   : code == "cctr" ? Special::ClassConstructor
                                    : Special::ClassDestructor;
    return true;
  }
  for (const OperatorCode& op : kOperators) {
    if (op.code == code) {
      name.special = Special::Operator;
      name.specialText = std::string(op.text);
      return true;
    }
  }
  return false;
}

// "%Name$args%": a template and its arguments.
bool Reader::ReadTemplate(Component& out) {
  Nested nested(depth_);
  if (nested.TooDeep() || !Take('%')) return false;
  if (!ReadIdentifier(out.bare) || !Take('$')) return false;
  std::string args;
  std::size_t count = 0;
  while (!Take('%')) {
    if (AtEnd() || ++count > kMaxParams) return false;
    if (!args.empty()) args += ", ";
    // A value argument follows a '$' (the one after the template's name for
    // the first argument, where "i" may also be the type int).
    const bool value = Take('$');
    if (value || count == 1) {
      const std::size_t at = pos_;
      const std::size_t before = args.size();
      if (ReadValueArgument(args)) continue;
      if (value) return false;
      pos_ = at;
      args.resize(before);
    }
    Take('t');
    TypeText type;
    if (!ReadType(type, nullptr)) return false;
    args += Joined(type.left, type.right);
  }
  if (count == 0) return false;
  out.text = out.bare + "<" + args + (args.back() == '>' ? " >" : ">");
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
    args += (address ? "&" : "") + QualifiedText(object);
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
  out = QualifiedText(name);
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

// Parameters up to the end of the range or the stop character (left unread):
// "v" alone is an empty list, "e" the ellipsis (last).
bool Reader::ReadParams(std::string& out, char stop) {
  std::vector<TypeText> params;
  bool ellipsis = false;
  while (!AtEnd() && Peek() != stop) {
    if (ellipsis || params.size() >= kMaxParams) return false;
    if (Take('e')) {
      ellipsis = true;
      continue;
    }
    TypeText type;
    if (!ReadType(type, &params)) return false;
    params.push_back(std::move(type));
  }
  if (params.empty() && !ellipsis) return false;
  out.clear();
  if (params.size() == 1 && params[0].shape == TypeText::Plain && params[0].left == "void" && !ellipsis) return true;
  for (const TypeText& p : params) {
    if (p.shape == TypeText::Plain && p.left == "void") return false;
    if (!out.empty()) out += ", ";
    out += Joined(p.left, p.right);
  }
  if (ellipsis) out += out.empty() ? "..." : ", ...";
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
  out = TypeText();
  switch (c) {
    case 'x':
    case 'w': {
      TypeText inner;
      if (!ReadType(inner, params) || inner.shape == TypeText::Function) return false;
      const char* word = c == 'x' ? "const" : "volatile";
      out = inner;
      if (inner.shape == TypeText::Pointer) {
        out.left = inner.left + " " + word;
      } else {
        out.left = std::string(word) + " " + inner.left;
      }
      return true;
    }
    case 'u': {
      const char k = Peek();
      if (k != 'c' && k != 's' && k != 'i' && k != 'l' && k != 'j') return false;
      ++pos_;
      out.left = "unsigned " + std::string(basic(k));
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
      TypeText inner;
      if (!ReadType(inner, params)) return false;
      if (closure && inner.shape != TypeText::Function) return false;
      const std::string mark = kind == 'p' ? "*" : kind == 'r' ? "&" : "&&";
      if (inner.shape == TypeText::Function || inner.shape == TypeText::Array) {
        std::string prefix = inner.convention.empty() ? std::string() : inner.convention + " ";
        if (closure) prefix += "__closure ";
        out.left = inner.left + "(" + prefix + mark;
        out.right = ")" + inner.right;
      } else {
        out.left = inner.left + (EndsDeclarator(inner.left) ? "" : " ") + mark;
        out.right = inner.right;
      }
      out.shape = TypeText::Pointer;
      return true;
    }
    case 'a': {
      std::size_t count = 0;
      if (!ReadNumber(count) || !Take('$')) return false;
      TypeText inner;
      if (!ReadType(inner, params) || inner.shape == TypeText::Function) return false;
      const std::string bound = "[" + std::to_string(count) + "]";
      if (inner.right.empty()) {
        out.left = inner.left + (EndsDeclarator(inner.left) ? "" : " ");
        out.right = bound;
      } else {
        out.left = inner.left;
        out.right = bound + inner.right;
      }
      out.shape = TypeText::Array;
      return true;
    }
    case 'M': {
      std::string owner;
      TypeText inner;
      if (!ReadCounted(owner) || !ReadType(inner, params)) return false;
      const std::string mark = owner + "::*";
      if (inner.shape == TypeText::Function || inner.shape == TypeText::Array) {
        const std::string prefix = inner.convention.empty() ? std::string() : inner.convention + " ";
        out.left = inner.left + "(" + prefix + mark;
        out.right = ")" + inner.right;
      } else {
        out.left = inner.left + " " + mark;
        out.right = inner.right;
      }
      out.shape = TypeText::Pointer;
      return true;
    }
    case 'q': {
      std::string convention;
      std::string list;
      TypeText result;
      if (!ReadConvention(convention) || !ReadParams(list, '$') || !Take('$') || !ReadType(result, params)) {
        return false;
      }
      if (result.shape == TypeText::Array || result.shape == TypeText::Function) return false;
      out.left = result.left + (result.right.empty() && !EndsDeclarator(result.left) ? " " : "");
      out.right = "(" + list + ")" + result.right;
      out.shape = TypeText::Function;
      out.convention = convention;
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
      if (index > params->size()) return false;
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
  out.left = std::string(name);
  return true;
}

bool Reader::ReadFunction(Function& f) {
  for (;;) {
    if (Take('x')) {
      f.memberQualifiers += " const";
    } else if (Take('w')) {
      f.memberQualifiers += " volatile";
    } else {
      break;
    }
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
  // Type descriptors of the run-time type information.
  if (s_.substr(pos_, 4) == "$xt$" || s_.substr(pos_, 4) == "$xp$") {
    pos_ += 4;
    TypeText type;
    if (!ReadType(type, nullptr) || !AtEnd()) return false;
    out = "__tpdsc__ " + Joined(type.left, type.right);
    return true;
  }
  QualifiedName name;
  if (!ReadComponents(name, true)) return false;
  const std::string qualified = QualifiedText(name);
  if (name.virtualTable) {
    out = "vtable for " + qualified;
    return true;
  }
  if (!Take('$')) {
    // "@GetMem", "@C1_0": a Delphi run-time or local label, not a mangled name.
    if (name.special != Special::None) return false;
    if (name.parts.size() < 2 && !name.linkproc[0]) return false;
    out = qualified;
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
    out = qualified;
    return true;
  }
  // A result that is a pointer to a function or an array wraps the name:
  // "int (*f(char))(double)".
  std::string declarator = f.convention.empty() ? std::string() : f.convention + " ";
  declarator += qualified + "(" + f.params + ")" + f.memberQualifiers;
  if (!f.hasResult) {
    out = std::move(declarator);
  } else if (f.result.right.empty()) {
    out = f.result.left + (EndsDeclarator(f.result.left) ? "" : " ") + declarator;
  } else {
    out = f.result.left + declarator + f.result.right;
  }
  return true;
}

}  // namespace

bool DemangleBorland(std::string_view linkerName, DemangleStyle style, std::string& out) {
  if (linkerName.size() < 2 || linkerName[0] != '@') return false;
  std::string text;
  if (!Reader(linkerName).Read(style, text)) return false;
  out = std::move(text);
  return true;
}

}  // namespace qf
