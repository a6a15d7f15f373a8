#include "crash/LanguageException.h"

#include <array>

namespace qf {
namespace {

constexpr uint32_t kDelphiException = 0x0EEDFADE;
constexpr uint32_t kCppBuilderException = 0x0EEFFACE;
constexpr uint32_t kFpcException = 0xE0465043;

// At most this many parents are followed (a damaged table may loop).
constexpr size_t kMaxParents = 64;
// The longest message read, in characters.
constexpr uint32_t kMaxMessage = 64 * 1024;
// The longest C++ type name read.
constexpr size_t kMaxTypeName = 1024;

// Where a Delphi class table keeps its self pointer and its name's pointer.
struct VmtLayout {
  int selfPtr;
  int className;
  const char* name;
};
constexpr std::array<VmtLayout, 2> kWin32Layouts{{
    {-88, -56, "Delphi 2009 or later"},
    {-76, -44, "Delphi 2007 or earlier"},
}};
constexpr std::array<VmtLayout, 2> kWin64Layouts{{
    {-200, -136, "Delphi XE5 or later (Win64)"},
    {-176, -112, "Delphi XE2 to XE4 (Win64)"},
}};

// A class name: 1 to 255 characters a Delphi or Free Pascal identifier is
// made of (with "." of a nested or unit-qualified name and "<", ">", ","
// of a generic's); anything else is no name.
bool IsNameByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
         c == '<' || c == '>' || c == ',' || c == '@' || c == '$' || c >= 0x80;
}

std::optional<std::string> ShortString(const ProcessMemory& memory, uint64_t at) {
  const auto length = memory.Read(at, 1);
  if (!length || (*length)[0] == 0) return std::nullopt;
  auto name = memory.Read(at + 1, static_cast<unsigned char>((*length)[0]));
  if (!name) return std::nullopt;
  for (const char c : *name)
    if (!IsNameByte(static_cast<unsigned char>(c))) return std::nullopt;
  return name;
}

void AppendUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | c >> 6);
    out += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += char(0xE0 | c >> 12);
    out += char(0x80 | (c >> 6 & 0x3F));
    out += char(0x80 | (c & 0x3F));
  } else {
    out += char(0xF0 | c >> 18);
    out += char(0x80 | (c >> 12 & 0x3F));
    out += char(0x80 | (c >> 6 & 0x3F));
    out += char(0x80 | (c & 0x3F));
  }
}

// A string of the run-time at `at` (the address its variable holds):
// its length in elements at -4 and, with elementSize (Delphi 2009 and
// later, Free Pascal), its element size (1 or 2) at -10; the elements are
// followed by a zero. Single bytes are read as Latin-1, pairs as UTF-16.
std::optional<std::string> RuntimeString(const ProcessMemory& memory, uint64_t at, bool elementSize, std::string& why) {
  if (at == 0) return std::string();  // the empty string is nil
  const auto length = memory.U32(at - 4);
  unsigned size = 1;
  if (elementSize) {
    const auto header = memory.Read(at - 10, 2);
    if (header) size = static_cast<unsigned char>((*header)[0]) | static_cast<unsigned char>((*header)[1]) << 8;
    if (!header || !length) {
      why = "the dump does not hold the message";
      return std::nullopt;
    }
  }
  if (!length) {
    why = "the dump does not hold the message";
    return std::nullopt;
  }
  if ((size != 1 && size != 2) || *length > kMaxMessage) {
    why = "the message's string is damaged";
    return std::nullopt;
  }
  const auto bytes = memory.Read(at, size_t(*length + 1) * size);
  if (!bytes) {
    why = "the dump does not hold the message";
    return std::nullopt;
  }
  std::string text;
  const auto unit = [&](size_t i) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes->data()) + i * size;
    return size == 1 ? uint32_t(b[0]) : uint32_t(b[0] | b[1] << 8);
  };
  if (unit(*length) != 0) {
    why = "the message's string is damaged";
    return std::nullopt;
  }
  for (size_t i = 0; i < *length; ++i) {
    uint32_t c = unit(i);
    if (size == 2 && c >= 0xD800 && c < 0xDC00 && i + 1 < *length && unit(i + 1) >= 0xDC00 && unit(i + 1) < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(++i) - 0xDC00);
    else if (c >= 0xD800 && c < 0xE000)
      c = 0xFFFD;
    AppendUtf8(text, c);
  }
  return text;
}

// A class table: its name, and the table of its parent (0: none).
struct ClassTable {
  std::string name;
  uint64_t parent = 0;
};

// The table's name (a short string at namePtr) and its parent's table, read
// through the parent reference (0: no parent).
std::optional<ClassTable> NamedTable(const ProcessMemory& memory, uint64_t namePtr, std::optional<uint64_t> parentRef) {
  if (!parentRef) return std::nullopt;
  auto name = ShortString(memory, namePtr);
  if (!name) return std::nullopt;
  uint64_t parent = 0;
  if (*parentRef != 0) {
    const auto p = memory.Pointer(*parentRef);
    if (!p) return std::nullopt;
    parent = *p;
  }
  return ClassTable{std::move(*name), parent};
}

std::optional<ClassTable> DelphiTable(const ProcessMemory& memory, uint64_t vmt, const VmtLayout& layout) {
  const unsigned w = memory.WordSize();
  const auto self = memory.Pointer(vmt + int64_t(layout.selfPtr));
  if (!self || *self != vmt) return std::nullopt;
  const auto namePtr = memory.Pointer(vmt + int64_t(layout.className));
  if (!namePtr) return std::nullopt;
  return NamedTable(memory, *namePtr, memory.Pointer(vmt + int64_t(layout.className) + 2 * int64_t(w)));
}

std::optional<ClassTable> FpcTable(const ProcessMemory& memory, uint64_t vmt) {
  const unsigned w = memory.WordSize();
  const auto size = memory.Pointer(vmt), negated = memory.Pointer(vmt + w);
  const uint64_t mask = w == 4 ? 0xFFFFFFFFu : ~uint64_t(0);
  if (!size || !negated || *size == 0 || *size > (1u << 24) || ((*size + *negated) & mask) != 0) return std::nullopt;
  const auto parentRef = memory.Pointer(vmt + 2 * w), namePtr = memory.Pointer(vmt + 3 * w);
  if (!namePtr) return std::nullopt;
  return NamedTable(memory, *namePtr, parentRef);
}

}  // namespace

std::optional<std::string> ProcessMemory::Read(uint64_t address, size_t length) const {
  if (length > kMaxRead || address + length < address) return std::nullopt;
  std::string bytes(length, '\0');
  if (const auto block = dump_.MemoryAt(address, length)) {
    const uint64_t at = block->offset + (address - block->start);
    if (dump_.file && at >= block->offset && dump_.file->Holds(at, length)) {
      dump_.file->Copy(at, &bytes[0], length);
      return bytes;
    }
  }
  const MinidumpModule* module = dump_.ModuleAt(address);
  if (!module || !imageOf_ || address + length > module->base + module->size) return std::nullopt;
  const Image image = imageOf_(*module);
  if (!image.image || image.image->timeDateStamp != module->timeDateStamp || image.image->sizeOfImage != module->size)
    return std::nullopt;
  const std::string_view got = PeBytesAt(*image.image, image.bytes, uint32_t(address - module->base), length);
  if (got.size() != length) return std::nullopt;
  return std::string(got);
}

std::optional<uint32_t> ProcessMemory::U32(uint64_t address) const {
  const auto bytes = Read(address, 4);
  if (!bytes) return std::nullopt;
  uint32_t value = 0;
  for (size_t i = 4; i-- > 0;) value = value << 8 | static_cast<unsigned char>((*bytes)[i]);
  return value;
}

std::optional<uint64_t> ProcessMemory::Pointer(uint64_t address) const {
  const unsigned w = WordSize();
  const auto bytes = Read(address, w);
  if (!bytes) return std::nullopt;
  uint64_t value = 0;
  for (size_t i = w; i-- > 0;) value = value << 8 | static_cast<unsigned char>((*bytes)[i]);
  // Read from an image: its pointers hold the image's base.
  if (!dump_.MemoryAt(address, w)) {
    const MinidumpModule* module = dump_.ModuleAt(address);
    const Image image = module && imageOf_ ? imageOf_(*module) : Image{};
    if (image.image && value >= image.image->imageBase && value - image.image->imageBase < module->size)
      value = value - image.image->imageBase + module->base;
  }
  return value;
}

std::string_view LanguageException::KindName() const {
  switch (kind) {
    case Kind::Delphi: return "delphi";
    case Kind::Cpp: return "cpp";
    case Kind::Fpc: return "fpc";
  }
  return "delphi";
}

void ReadObjectClass(const ProcessMemory& memory, uint64_t object, bool fpc, LanguageException& out) {
  const unsigned w = memory.WordSize();
  const auto vmt = memory.Pointer(object);
  if (!vmt) {
    out.whyNoClass = "the dump does not hold the exception object";
    return;
  }
  // The layout whose self pointer points back (Free Pascal's: whose sizes
  // agree) and whose name is a name.
  const auto& layouts = w == 4 ? kWin32Layouts : kWin64Layouts;
  const VmtLayout* layout = nullptr;
  std::optional<ClassTable> table;
  if (fpc) {
    table = FpcTable(memory, *vmt);
  } else {
    for (const VmtLayout& l : layouts) {
      table = DelphiTable(memory, *vmt, l);
      if (table) {
        layout = &l;
        break;
      }
    }
  }
  if (!table) {
    out.whyNoClass = memory.Read(*vmt, w) ? "no class table at the object's first word"
                                          : "neither the dump nor an image of the module holds the class table";
    return;
  }
  out.className = table->name;
  out.layout = fpc ? "Free Pascal" : layout->name;
  bool isException = table->name == "Exception";
  uint64_t parent = table->parent;
  for (size_t i = 0; parent != 0 && !isException && i < kMaxParents; ++i) {
    const auto up = fpc ? FpcTable(memory, parent) : DelphiTable(memory, parent, *layout);
    if (!up) {
      out.parents.push_back("?");
      break;
    }
    out.parents.push_back(up->name);
    isException = up->name == "Exception";
    parent = up->parent;
  }
  if (!isException) {
    if (out.parents.empty() || out.parents.back() != "?") out.whyNoMessage = "the class is no Exception";
    else out.whyNoMessage = "the class's parents could not be read";
    return;
  }
  const auto messagePtr = memory.Pointer(object + w);
  if (!messagePtr) {
    out.whyNoMessage = "the dump does not hold the exception object's fields";
    return;
  }
  // Free Pascal's and Delphi 2009's strings name their element size.
  const bool elementSize = fpc || layout != &kWin32Layouts[1];
  out.message = RuntimeString(memory, *messagePtr, elementSize, out.whyNoMessage);
}

std::optional<LanguageException> ReadLanguageException(const Minidump& dump, const ProcessMemory& memory) {
  if (!dump.exception) return std::nullopt;
  const MinidumpException& x = *dump.exception;
  const std::vector<uint64_t>& p = x.parameters;
  LanguageException e;
  if (x.code == kDelphiException && (p.size() == 7 || p.size() == 8)) {
    e.kind = LanguageException::Kind::Delphi;
    e.raiseAddress = p[0];
    e.object = p[1];
    ReadObjectClass(memory, e.object, false, e);
    if (p.size() == 7 && dump.WordSize() == 4 && p[6] != 0) {
      MinidumpRegisters r;
      r.ip = p[0];
      r.general[3] = p[2];  // EBX
      r.general[6] = p[3];  // ESI
      r.general[7] = p[4];  // EDI
      r.general[5] = r.fp = p[5];
      r.general[4] = r.sp = p[6];
      if (x.registers) r.codeSegment = x.registers->codeSegment;
      e.raiseRegisters = r;
    }
    return e;
  }
  if (x.code == kCppBuilderException && p.size() == 3) {
    e.kind = LanguageException::Kind::Cpp;
    e.raiseAddress = p[1];
    // A C string of printable characters.
    std::string name;
    bool ended = false;
    for (size_t i = 0; i < kMaxTypeName && !ended; ++i) {
      const auto c = memory.Read(p[0] + i, 1);
      if (!c) break;
      const unsigned char b = static_cast<unsigned char>((*c)[0]);
      if (b == 0) ended = true;
      else if (b < 0x20 || b == 0x7F) break;
      else name += char(b);
    }
    if (ended && !name.empty())
      e.className = name;
    else
      e.whyNoClass = memory.Read(p[0], 1) ? "the thrown type's name is damaged" : "the dump does not hold the thrown type's name";
    return e;
  }
  if (x.code == kFpcException && p.size() >= 2) {
    e.kind = LanguageException::Kind::Fpc;
    e.raiseAddress = p[0];
    e.object = p[1];
    ReadObjectClass(memory, e.object, true, e);
    if (dump.WordSize() == 4 && p.size() >= 5 && p[4] != 0) {
      MinidumpRegisters r;
      r.ip = p[0];
      r.general[5] = r.fp = r.sp = r.general[4] = p[4];
      if (x.registers) r.codeSegment = x.registers->codeSegment;
      e.raiseRegisters = r;
    }
    return e;
  }
  return std::nullopt;
}

}  // namespace qf
