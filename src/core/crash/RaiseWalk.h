// The walk of a thread that raised a language exception (LanguageException.h):
// where the walk from the exception's context (frame 0 in the system's
// RaiseException) does not reach the raising frame, the raise address the
// run-time passed stands in for it and the walk goes on from the registers
// the run-time passed.
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "crash/LanguageException.h"
#include "crash/StackWalk.h"

namespace qf {

// The language exception of the dump, its class tables read from the dump's
// memory, else from the images of the walk (imageOf: null for none).
std::optional<LanguageException> DumpLanguageException(
    const Minidump& dump, const std::function<const ModuleImage*(const MinidumpModule&)>& imageOf);

// The frames of the raising thread, walked from the exception's context:
// unless a frame after frame 0 is the raise address or a return into the
// function that holds it (options.functionAt), the frames from the first
// one in the raising module on are replaced by the raise address (found by
// Exception) and the walk from the registers the run-time passed (where it
// passed them).
void ReachRaiseFrame(const Minidump& dump, const LanguageException& e, const MinidumpMemory& stack,
                     const StackWalkOptions& options, std::vector<StackFrame>& frames);

}  // namespace qf
