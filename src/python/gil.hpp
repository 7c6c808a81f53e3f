// The interpreter lock as this module counts it per thread: the counted
// guard background threads take, and the level a call from the interpreter
// holds (python/entry.hpp wraps those calls; python/exit_hook.hpp keeps
// background threads away from an interpreter that is shutting down).
#pragma once

#include "python/errors.hpp"

namespace kestrel::py {

// True when this thread may touch reference counts right now: it is inside
// a call from the interpreter or holds a GilGuard, or the interpreter says
// this thread's state is the current one.
bool holds_lock() noexcept;

// Counted lock acquisition for background threads. The outermost guard on a
// thread calls PyGILState_Ensure and applies the pending reference changes;
// nested guards only count. Refuses (is false) once the interpreter is
// shutting down. Never keep one across a suspension point.
class GilGuard {
 public:
  GilGuard() noexcept;
  ~GilGuard();
  GilGuard(const GilGuard&) = delete;
  GilGuard& operator=(const GilGuard&) = delete;
  explicit operator bool() const noexcept { return held_; }

 private:
  bool held_ = false;
  bool outermost_ = false;
  PyGILState_STATE state_{};
};

// Ends the current background task silently because the interpreter is going
// away (it looks like a cancellation to the runtime, which prints nothing).
[[noreturn]] void throw_interpreter_gone();

// The lock level of a call the interpreter makes into this module: counts
// one more level for this thread and applies pending reference changes.
class EntryScope {
 public:
  EntryScope() noexcept;
  ~EntryScope();
  EntryScope(const EntryScope&) = delete;
  EntryScope& operator=(const EntryScope&) = delete;
};

}  // namespace kestrel::py
