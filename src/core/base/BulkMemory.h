// Memory for a large array that is filled soon after it is allocated, owned
// (move-only). On Linux a large one starts on a large-page boundary and its
// pages are made present in one call rather than one fault each; once
// filled it may be put in large pages (AdviseLargePages). Elsewhere it is
// plain memory.
#pragma once

#include <cstddef>

namespace qf {

class BulkMemory {
 public:
  BulkMemory() = default;
  // At least `bytes` bytes, aligned for any type; throws std::bad_alloc.
  explicit BulkMemory(std::size_t bytes);
  ~BulkMemory();
  BulkMemory(BulkMemory&& other) noexcept;
  BulkMemory& operator=(BulkMemory&& other) noexcept;
  BulkMemory(const BulkMemory&) = delete;
  BulkMemory& operator=(const BulkMemory&) = delete;

  void* Data() const { return start_; }
  std::size_t Size() const { return bytes_; }

  // Asks the system to keep the filled memory in large pages where it can.
  // Asked for only once it is filled: on some systems (virtual machines
  // among them) a fault on a large page costs several times the faults on
  // its small pages, so the pages are merged in the background instead.
  void AdviseLargePages() const;

 private:
  void* memory_ = nullptr;  // as allocated
  void* start_ = nullptr;   // aligned
  std::size_t bytes_ = 0;
};

}  // namespace qf
