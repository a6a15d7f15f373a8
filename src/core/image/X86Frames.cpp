// The questions of X86Code, each with its own budget, answered by the two
// readings of X86Analysis.h.
#include "image/X86Frames.h"

#include <algorithm>

#include "image/X86Analysis.h"

namespace qf {

struct X86Code::Impl : x86::Analysis {
  using Analysis::Analysis;
};

const X86FrameRow* X86FrameTable::At(uint32_t rva) const {
  const auto it = std::lower_bound(rows.begin(), rows.end(), rva,
                                   [](const X86FrameRow& r, uint32_t v) { return r.rva < v; });
  return it != rows.end() && it->rva == rva ? &*it : nullptr;
}

const X86FrameRow* X86FrameTable::EndingAt(uint32_t rva) const {
  auto it = std::lower_bound(rows.begin(), rows.end(), rva, [](const X86FrameRow& r, uint32_t v) { return r.rva < v; });
  if (it == rows.begin()) return nullptr;
  --it;
  return it->rva + it->length == rva ? &*it : nullptr;
}

X86Code::X86Code(const PeImage& image, std::string_view bytes) : impl_(std::make_unique<Impl>(image, bytes)) {}
X86Code::~X86Code() = default;

const X86FrameTable& X86Code::Function(uint32_t begin, uint32_t end) {
  return *impl_->Ask([&] { return &x86::FunctionTable(*impl_, begin, end); });
}

std::optional<uint16_t> X86Code::CalleePops(uint32_t entry) {
  return impl_->Ask([&] { return x86::CalleePops(*impl_, entry, 0); });
}

std::optional<X86Frame> X86Code::Forward(uint32_t rva, bool callerFrame, std::optional<uint32_t> end) {
  return impl_->Ask([&] { return ForwardRead(rva, callerFrame, end); });
}

std::optional<X86Frame> X86Code::ForwardRead(uint32_t rva, bool callerFrame, std::optional<uint32_t> end) {
  return x86::ForwardFrame(*impl_, rva, callerFrame, end);
}

std::optional<X86Frame> X86Code::FrameAt(uint32_t rva, bool callerFrame,
                                         std::optional<std::pair<uint32_t, uint32_t>> function) {
  return impl_->Ask([&] { return FrameRead(rva, callerFrame, function); });
}

std::optional<X86Frame> X86Code::FrameRead(uint32_t rva, bool callerFrame,
                                           std::optional<std::pair<uint32_t, uint32_t>> function) {
  std::optional<X86Frame> fromStart;
  if (function && function->first <= rva && rva <= function->second) {
    const X86FrameTable& table = x86::FunctionTable(*impl_, function->first, function->second);
    const X86FrameRow* row = callerFrame ? table.EndingAt(rva) : table.At(rva);
    if (row) fromStart = row->frame;
  }
  const std::optional<X86Frame> forward =
      ForwardRead(rva, callerFrame, function ? std::optional<uint32_t>(function->second) : std::nullopt);
  if (fromStart && forward && !fromStart->SameSlot(*forward)) return std::nullopt;
  return fromStart ? fromStart : forward;
}

}  // namespace qf
