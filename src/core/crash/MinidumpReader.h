// Reads a Windows minidump (.dmp) from its bytes, without any system
// service: the header ("MDMP"), the stream directory and the streams
// SystemInfo, ModuleList, Exception, ThreadList, MemoryList and
// Memory64List. Every read is checked against the size of the bytes. A
// structure that lies past the end is an error, except the bytes of a stack
// or a memory block, which are left out (Minidump::leftOut): the exception,
// the modules and each thread's registers still name the crash.
#pragma once

#include <string>
#include <string_view>

#include "base/Errors.h"
#include "crash/Minidump.h"

namespace qf {

// Bytes that are no minidump, or a minidump whose needed structures are
// damaged; what() says which ("damaged minidump: the module list lies past
// the end of the file").
class MinidumpError : public Exception {
 public:
  explicit MinidumpError(const std::string& message) : Exception(message) {}
};

// The minidump held in bytes. The memory views of the result point into
// bytes, which must outlive it. Throws MinidumpError when the bytes are not
// a minidump of an x86 or AMD64 process or a structure it needs is damaged.
Minidump ReadMinidump(std::string_view bytes);

}  // namespace qf
