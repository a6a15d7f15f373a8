#include "base/BulkMemory.h"

#include <cstdint>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace qf {
namespace {

#if defined(__linux__) && defined(MADV_HUGEPAGE)
constexpr std::size_t kLargePage = std::size_t{2} << 20;
#endif

}  // namespace

BulkMemory::BulkMemory(std::size_t bytes) : bytes_(bytes) {
  std::size_t align = 64;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // A large block starts on a large-page boundary, so that it can be put in
  // large pages once filled. The bytes skipped for the alignment are never
  // touched.
  if (bytes >= kLargePage) align = kLargePage;
#endif
  memory_ = ::operator new(bytes + align);
  start_ = reinterpret_cast<void*>((reinterpret_cast<std::uintptr_t>(memory_) + align - 1) &
                                   ~(static_cast<std::uintptr_t>(align) - 1));
#if defined(__linux__) && defined(MADV_HUGEPAGE) && defined(MADV_POPULATE_WRITE)
  // Where the system cannot, the pages fault in as they are written.
  if (bytes >= kLargePage) ::madvise(start_, bytes, MADV_POPULATE_WRITE);
#endif
}

BulkMemory::~BulkMemory() { ::operator delete(memory_); }

BulkMemory::BulkMemory(BulkMemory&& other) noexcept
    : memory_(std::exchange(other.memory_, nullptr)),
      start_(std::exchange(other.start_, nullptr)),
      bytes_(std::exchange(other.bytes_, 0)) {}

BulkMemory& BulkMemory::operator=(BulkMemory&& other) noexcept {
  if (this != &other) {
    ::operator delete(memory_);
    memory_ = std::exchange(other.memory_, nullptr);
    start_ = std::exchange(other.start_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
  }
  return *this;
}

void BulkMemory::AdviseLargePages() const {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes_ >= kLargePage) ::madvise(start_, bytes_, MADV_HUGEPAGE);
#endif
}

}  // namespace qf
