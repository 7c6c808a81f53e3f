// What the interpreter is asked about the lock and shutdown that a
// stable-ABI build cannot link directly: whether it is finalizing, and
// whether this thread's state is the current one.
#pragma once

#include <Python.h>

namespace kestrel::py {

// Finds, in the running interpreter, what a stable-ABI build cannot link:
// the finalization check and the unchecked thread-state probe (interpreter_probes.cpp says
// why and what happens without them). Once, from module initialisation,
// before any background thread exists; a probe that cannot be found stays
// empty. Nothing to do in other builds.
void find_interpreter_probes() noexcept;

// True when the interpreter reports that it is finalizing.
bool runtime_finalizing() noexcept;

// True when the interpreter's current thread state is this thread's own.
bool thread_state_is_current() noexcept;

}  // namespace kestrel::py
