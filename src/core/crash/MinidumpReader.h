// Reads a Windows minidump (.dmp) in place, without any system service: the header ("MDMP"), the stream directory and the streams
// SystemInfo, ModuleList, Exception, ThreadList, MemoryList and
// Memory64List, and of the process's memory only where each block lies (its
// bytes are read when asked for). Every read is checked against the size of
// the file. A
// structure that lies past the end is an error, except the bytes of a stack
// or a memory block, which are left out (Minidump::leftOut): the exception,
// the modules and each thread's registers still name the crash.
#pragma once

#include <memory>
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

// The minidump in a file, read where its structures lie: the header, the
// directory and the streams above; the result keeps the file open for the
// bytes of memory. Throws MinidumpError when the file is not a minidump of an
// x86 or AMD64 process or a structure it needs is damaged, and the reader's
// EFOpenError when a read fails.
Minidump ReadMinidump(std::unique_ptr<RandomAccessReader> file);
// The minidump held in bytes, which must outlive the result.
Minidump ReadMinidump(std::string_view bytes);

}  // namespace qf
