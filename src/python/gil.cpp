#include "python/gil.hpp"

#include "net/task.hpp"
#include "python/exit_hook.hpp"
#include "python/interpreter_probes.hpp"
#include "python/ref.hpp"

namespace kestrel::py {
namespace {

// How many levels of lock ownership this thread has through the module.
thread_local int t_lock_level = 0;

// Whether this thread keeps its interpreter thread state between
// acquisitions (set at its first acquisition).
thread_local bool t_thread_state_pinned = false;

}  // namespace

bool holds_lock() noexcept {
  if (t_lock_level > 0) return true;
  // Once shutdown began, the interpreter's thread-state bookkeeping may be
  // torn down under us; only our own count is trustworthy.
  if (exit_hook_ran()) return false;
  return thread_state_is_current();
}

GilGuard::GilGuard() noexcept {
  if (t_lock_level > 0) {
    ++t_lock_level;
    held_ = true;
    return;
  }
  if (!begin_background_hold()) return;
  // A thread the interpreter has never seen gets a thread state of its own
  // on its first acquisition and keeps it: PyGILState_Ensure would otherwise
  // build and tear down a thread state (and its frame stack, an mmap) on
  // every turn. The extra, never-released level is what keeps it.
  if (!t_thread_state_pinned) {
    if (PyGILState_GetThisThreadState() == nullptr) {
      PyGILState_Ensure();
      PyEval_SaveThread();
    }
    t_thread_state_pinned = true;
  }
  state_ = PyGILState_Ensure();
  ++t_lock_level;
  held_ = true;
  outermost_ = true;
  apply_pending();
}

GilGuard::~GilGuard() {
  if (!held_) return;
  --t_lock_level;
  if (!outermost_) return;
  PyGILState_Release(state_);
  end_background_hold();
}

EntryScope::EntryScope() noexcept {
  ++t_lock_level;
  apply_pending();
}

EntryScope::~EntryScope() { --t_lock_level; }

[[noreturn]] void throw_interpreter_gone() { throw net::TaskAbandoned{}; }

}  // namespace kestrel::py
