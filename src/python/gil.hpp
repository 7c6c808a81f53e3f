// The interpreter lock as this module sees it: the counted guard background
// threads take, the entry guard that wraps every function the interpreter
// calls into this module, and the exit hook that keeps background threads
// away from an interpreter that is shutting down.
#pragma once

#include "python/errors.hpp"

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif
#include <utility>

namespace kestrel::py {

// True when this thread may touch reference counts right now: it is inside
// a call from the interpreter or holds a GilGuard, or the interpreter says
// this thread's state is the current one.
bool holds_lock() noexcept;

// True once the interpreter has begun to shut down (our exit hook ran, or the
// interpreter reports finalization). Background threads then leave Python
// alone and leak what they hold instead.
bool interpreter_finalizing() noexcept;

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

// Runs `body` as an entry from the interpreter: ordinary errors become the
// Python exception, internal failures PanicException, and `on_error` is
// returned in both cases. No C++ exception leaves this function (a forced
// thread unwind, which is not an exception of ours, is let through).
template <class R, class F>
R guarded(R on_error, F&& body);

// Like guarded, for slots without a return value (deallocation): a failure
// is reported as unraisable.
template <class F>
void guarded_void(PyObject* context, F&& body);

// Registers the exit hook once (from module initialisation): when the
// interpreter starts to shut down, background threads stop taking the lock,
// and the hook waits for the ones holding it to let go.
void install_exit_hook();

// Finds, in the running interpreter, what a stable-ABI build cannot link:
// the finalization check and the unchecked thread-state probe (gil.cpp says
// why and what happens without them). Once, from module initialisation,
// before any background thread exists. Nothing to do in other builds.
void find_interpreter_probes();

}  // namespace kestrel::py

// ---- templates ----

namespace kestrel::py {

template <class R, class F>
R guarded(R on_error, F&& body) {
  EntryScope scope;
  try {
    return std::forward<F>(body)();
  }
#if defined(__GLIBCXX__)
  catch (abi::__forced_unwind&) {
    throw;  // a Python thread being ended by the interpreter: let it go
  }
#endif
  catch (...) {
    raise_current_exception();
  }
  return on_error;
}

template <class F>
void guarded_void(PyObject* context, F&& body) {
  EntryScope scope;
  try {
    std::forward<F>(body)();
    return;
  }
#if defined(__GLIBCXX__)
  catch (abi::__forced_unwind&) {
    throw;
  }
#endif
  catch (...) {
    raise_current_exception();
  }
  PyErr_WriteUnraisable(context);
}

}  // namespace kestrel::py
