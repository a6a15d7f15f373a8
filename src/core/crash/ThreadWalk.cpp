// Which threads of a dump are walked, in which order, and in which view.
#include "crash/StackWalk.h"

namespace qf {
namespace {

class ThreadWalker {
 public:
  ThreadWalker(const Minidump& dump, const StackWalkOptions& options, const std::optional<Wow64Walk>& view)
      : dump_(dump), options_(options), view_(view) {}

  // The crashing thread from the exception's context; its registers may be
  // missing, its thread too (then walked on no stack).
  ThreadFrames Crashing(const MinidumpThread* thread) const {
    if (thread && InView(*thread)) return InViewWalk(*thread);
    ThreadFrames walk;
    walk.threadId = dump_.exception->threadId;
    if (dump_.exception->registers)
      walk.frames = WalkStack(dump_, thread ? thread->stack : MinidumpMemory{}, *dump_.exception->registers, options_);
    if (view_) walk.whyNative = thread ? WhyNot(*thread) : "the dump holds no such thread";
    return walk;
  }

  // A thread from its own context.
  ThreadFrames Own(const MinidumpThread& thread) const {
    if (InView(thread)) return InViewWalk(thread);
    ThreadFrames walk;
    walk.threadId = thread.id;
    if (thread.registers) walk.frames = WalkStack(dump_, thread.stack, *thread.registers, options_);
    if (view_) walk.whyNative = WhyNot(thread);
    return walk;
  }

 private:
  size_t Index(const MinidumpThread& thread) const { return size_t(&thread - dump_.threads.data()); }
  bool InView(const MinidumpThread& thread) const { return view_ && view_->view.HasThread(Index(thread)); }
  const std::string& WhyNot(const MinidumpThread& thread) const { return view_->view.whyNot[Index(thread)]; }

  // The view holds the threads that have one, in the dump's order.
  ThreadFrames InViewWalk(const MinidumpThread& thread) const {
    size_t before = 0;
    for (size_t i = 0; i < Index(thread); ++i) before += view_->view.HasThread(i) ? 1 : 0;
    const Minidump& x86 = view_->view.dump;
    const MinidumpThread& in = x86.threads[before];
    ThreadFrames walk;
    walk.threadId = in.id;
    walk.inView = true;
    if (in.registers) walk.frames = WalkStack(x86, in.stack, *in.registers, view_->options);
    return walk;
  }

  const Minidump& dump_;
  const StackWalkOptions& options_;
  const std::optional<Wow64Walk>& view_;
};

}  // namespace

std::vector<ThreadFrames> WalkThreads(const Minidump& dump, const StackWalkOptions& options, bool allThreads,
                                      const std::optional<Wow64Walk>& view) {
  const ThreadWalker walker(dump, options, view);
  std::vector<ThreadFrames> walks;
  const MinidumpThread* crashing = nullptr;
  if (dump.exception) {
    crashing = dump.Thread(dump.exception->threadId);
    walks.push_back(walker.Crashing(crashing));
  } else if (!dump.threads.empty()) {
    crashing = &dump.threads.front();
    walks.push_back(walker.Own(*crashing));
  }
  if (!allThreads) return walks;
  for (const MinidumpThread& thread : dump.threads)
    if (&thread != crashing) walks.push_back(walker.Own(thread));
  return walks;
}

}  // namespace qf
