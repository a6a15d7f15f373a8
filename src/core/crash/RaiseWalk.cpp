#include "crash/RaiseWalk.h"

namespace qf {

std::optional<LanguageException> DumpLanguageException(
    const Minidump& dump, const std::function<const ModuleImage*(const MinidumpModule&)>& imageOf) {
  const ProcessMemory memory(dump, [&imageOf](const MinidumpModule& module) {
    const ModuleImage* image = imageOf ? imageOf(module) : nullptr;
    return image ? ProcessMemory::Image{&image->Image(), image->Bytes()} : ProcessMemory::Image{};
  });
  return ReadLanguageException(dump, memory);
}

void ReachRaiseFrame(const Minidump& dump, const LanguageException& e, const MinidumpMemory& stack,
                     const StackWalkOptions& options, std::vector<StackFrame>& frames) {
  const MinidumpModule* module = dump.ModuleAt(e.raiseAddress);
  if (!module || e.raiseAddress == module->base) return;
  const auto function = options.functionAt ? options.functionAt(e.raiseAddress - 1) : std::nullopt;
  for (size_t i = 1; i < frames.size(); ++i) {
    const uint64_t address = frames[i].address;
    if (address == e.raiseAddress) return;
    if (function && address > function->first && address <= function->second) return;
  }
  size_t kept = 0;
  while (kept < frames.size() && !module->Contains(frames[kept].address)) ++kept;
  frames.resize(kept);
  StackFrame raised;
  raised.address = e.raiseAddress;
  raised.foundBy = StackFrame::FoundBy::Exception;
  frames.push_back(raised);
  if (!e.raiseRegisters) return;
  const std::vector<StackFrame> more = WalkStack(dump, stack, *e.raiseRegisters, options);
  for (size_t i = 1; i < more.size() && frames.size() < kMaxStackFrames; ++i) frames.push_back(more[i]);
}

}  // namespace qf
