// This thread's standing with the interpreter lock, as plain data that the
// reference type reads without knowing who keeps it: EntryScope
// (python/entry.hpp) and GilGuard (python/gil.hpp) count the levels, and the
// exit hook (python/exit_hook.cpp) marks the start of shutdown.
#pragma once

#include <atomic>

namespace kestrel::py {

// How many levels of lock ownership this thread has through the module.
inline thread_local int t_lock_level = 0;

// Set once the exit hook has run: from then on the interpreter's
// thread-state bookkeeping may be torn down under us.
inline std::atomic<bool> g_exit_hook_ran{false};

// True when this thread may touch reference counts right now: it is inside
// a call from the interpreter or holds a GilGuard, or the interpreter says
// this thread's state is the current one.
bool holds_lock() noexcept;

}  // namespace kestrel::py
