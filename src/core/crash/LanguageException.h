// The exceptions of Delphi, C++Builder and Free Pascal programs as their
// run-times raise them through RaiseException: where the program raised
// them, the class of the object thrown, its parents and its message, read
// from the exception record's parameters and the process's memory (the
// dump's, else the module's own image for the class tables).
//
//   0x0EEDFADE, 7 parameters  Delphi: [0] the raise address (the return
//                             address of the call into the run-time's raise
//                             routine), [1] the object, [2..6] EBX, ESI, EDI,
//                             EBP, ESP after that call (zero in 64-bit code)
//   0x0EEDFADE, 8 parameters  C++Builder throwing a Delphi class: [0] the
//                             throw address, [1] the object, [7] the type
//   0x0EEFFACE, 3 parameters  C++Builder C++: [0] the thrown type's name,
//                             [1] the throw address
//   0xE0465043                Free Pascal: [0] the raise address, [1] the
//                             object, [4] (32-bit) the raising frame's EBP
//
// A Delphi class's table (VMT) holds at negative offsets a pointer to itself
// and a pointer to its name (a short string): -88 and -56 from Delphi 2009
// on, -76 and -44 up to 2007, on Win64 -200 and -136 (XE5 on) or -176 and
// -112; its parent's table through a pointer to a pointer two words after
// the name's. Free Pascal's table starts with the instance size and its
// negation, then the parent (pointer to pointer) and the name. The message
// is the first field of Exception, the word after the table pointer.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crash/Minidump.h"
#include "image/PeImage.h"

namespace qf {

// The process's memory as far as the dump and the images given hold it:
// the dump's memory blocks first, else the image of the module that holds
// the address, which counts only when it is the module's build (the same
// TimeDateStamp and SizeOfImage); its pointers are moved to the module's
// load base. Every read is bounded and answers exactly what was asked or
// nothing.
class ProcessMemory {
 public:
  struct Image {
    const PeImage* image = nullptr;
    std::string_view bytes;
  };
  // The image of a module of the dump, else an Image with no image.
  using ImageOf = std::function<Image(const MinidumpModule&)>;

  ProcessMemory(const Minidump& dump, ImageOf imageOf) : dump_(dump), imageOf_(std::move(imageOf)) {}

  // The length bytes at address (at most kMaxRead), else none.
  std::optional<std::string> Read(uint64_t address, size_t length) const;
  // The pointer-sized word at address; a word read from an image is moved
  // by the difference of the module's load base and the image's base
  // where it points into the image.
  std::optional<uint64_t> Pointer(uint64_t address) const;
  std::optional<uint32_t> U32(uint64_t address) const;
  unsigned WordSize() const { return dump_.WordSize(); }

  static constexpr size_t kMaxRead = 1 << 20;

 private:
  const Minidump& dump_;
  ImageOf imageOf_;
};

struct LanguageException {
  enum class Kind { Delphi, Cpp, Fpc };
  Kind kind = Kind::Delphi;
  uint64_t raiseAddress = 0;
  uint64_t object = 0;  // the object thrown (0 for a C++Builder C++ exception)
  // The class and where its table was read ("Delphi 2009 or later",
  // "Delphi 2007 or earlier", ...), else why it is unknown.
  std::optional<std::string> className;
  std::string layout;
  std::string whyNoClass;
  // Its parents, nearest first, up to Exception (or the root where it is
  // no Exception).
  std::vector<std::string> parents;
  // The message (UTF-8), else why it is unknown (empty where the kind has
  // no message).
  std::optional<std::string> message;
  std::string whyNoMessage;
  // The registers the run-time passed, at the raise address (Delphi
  // Win32: EBX, ESI, EDI, EBP, ESP; Free Pascal: EBP): where a walk can
  // go on from when it does not reach the raising frame.
  std::optional<MinidumpRegisters> raiseRegisters;

  // "delphi", "cpp" or "fpc".
  std::string_view KindName() const;
};

// The language exception of the dump's exception record, else none (no
// exception, another code or another parameter count).
std::optional<LanguageException> ReadLanguageException(const Minidump& dump, const ProcessMemory& memory);

// The class, parents and message of a Delphi (or, fpc, Free Pascal)
// object; exposed for the fuzz target.
void ReadObjectClass(const ProcessMemory& memory, uint64_t object, bool fpc, LanguageException& out);

}  // namespace qf
