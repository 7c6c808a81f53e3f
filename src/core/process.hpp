// Keeping process-wide state usable in a child made by fork(). The child
// has only the thread that forked: a lock that another thread held at that
// moment stays locked for ever, and threads the state believes in are gone.
// Each owner of such state registers here how to set it right. On systems
// without fork nothing is ever called.
#pragma once

#include <functional>

namespace kestrel::process {

struct ForkHandlers {
  // In the forking thread just before the fork: typically takes a lock so
  // that the child inherits the guarded state whole.
  std::function<void()> prepare;
  // In the parent once the fork is done: undoes prepare.
  std::function<void()> parent;
  // In the child, on its one thread, before anything else runs there.
  std::function<void()> child;
};

// Registers `handlers` for every later fork. prepare runs in the reverse
// order of registration, parent and child in the order of registration (so
// state registered later may rely on state registered earlier). Empty
// members are skipped.
void on_fork(ForkHandlers handlers);

// Shorthand for state that only needs setting right in the child.
inline void after_fork_in_child(std::function<void()> child) { on_fork({{}, {}, std::move(child)}); }

}  // namespace kestrel::process
