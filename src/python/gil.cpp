#include "python/gil.hpp"

#include "python/exit_hook.hpp"
#include "python/lock_level.hpp"
#include "python/ref.hpp"

namespace kestrel::py {
namespace {

// Whether this thread keeps its interpreter thread state between
// acquisitions (set at its first acquisition).
thread_local bool t_thread_state_pinned = false;

}  // namespace

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

}  // namespace kestrel::py
