#include "python/gil.hpp"

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "core/process.hpp"
#include "net/task.hpp"
#include "python/calls.hpp"
#include "python/process_state.hpp"

namespace kestrel::py {
namespace {

// How many levels of lock ownership this thread has through the module.
thread_local int t_lock_level = 0;

// Whether this thread keeps its interpreter thread state between
// acquisitions (set at its first acquisition).
thread_local bool t_thread_state_pinned = false;

// Shutdown coordination between the exit hook and background threads.
struct ShutdownState {
  std::mutex mutex;
  std::condition_variable idle;
  bool finalizing = false;
  int active = 0;  // background threads holding, or about to take, the lock
};

ShutdownState& shutdown_state() {
  static ShutdownState* state = [] {
    // The threads counted in `active` do not exist in a child made by fork(),
    // and the mutex may be held by one of them: the child starts afresh.
    process::after_fork_in_child([] { state = new ShutdownState; });
    return new ShutdownState;
  }();
  return *state;
}

std::atomic<bool> g_exit_hook_ran{false};

bool runtime_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// PyGILState_Check is switched off (always true) once any sub-interpreter
// exists, so compare the current thread state with this thread's own.
bool thread_state_is_current() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  PyThreadState* current = PyThreadState_GetUnchecked();
#else
  PyThreadState* current = _PyThreadState_UncheckedGet();
#endif
  return current != nullptr && current == PyGILState_GetThisThreadState();
}

PyObject* exit_hook(PyObject*, PyObject*) {
  return guarded<PyObject*>(nullptr, []() -> PyObject* {
    g_exit_hook_ran.store(true);
    ShutdownState& state = shutdown_state();
    std::unique_lock lock(state.mutex);
    state.finalizing = true;
    if (state.active > 0) {
      // Let the threads that already hold or wait for the lock finish their
      // short step; none can start a new one now.
      PyThreadState* saved = PyEval_SaveThread();
      state.idle.wait(lock, [&] { return state.active == 0; });
      lock.unlock();
      PyEval_RestoreThread(saved);
    }
    Py_RETURN_NONE;
  });
}

PyMethodDef g_exit_hook_def = {"_kestrel_exit_hook", exit_hook, METH_NOARGS, nullptr};

}  // namespace

bool holds_lock() noexcept {
  if (t_lock_level > 0) return true;
  // Once shutdown began, the interpreter's thread-state bookkeeping may be
  // torn down under us; only our own count is trustworthy.
  if (g_exit_hook_ran.load(std::memory_order_relaxed)) return false;
  return thread_state_is_current();
}

bool interpreter_finalizing() noexcept { return g_exit_hook_ran.load() || runtime_finalizing(); }

GilGuard::GilGuard() noexcept {
  if (t_lock_level > 0) {
    ++t_lock_level;
    held_ = true;
    return;
  }
  ShutdownState& state = shutdown_state();
  {
    std::lock_guard lock(state.mutex);
    // Taking the lock after finalization began ends the thread from inside
    // the interpreter (pthread_exit), which a C++ worker cannot survive.
    if (state.finalizing || runtime_finalizing()) return;
    ++state.active;
  }
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
  ShutdownState& state = shutdown_state();
  {
    std::lock_guard lock(state.mutex);
    --state.active;
  }
  state.idle.notify_all();
}

EntryScope::EntryScope() noexcept {
  ++t_lock_level;
  apply_pending();
}

EntryScope::~EntryScope() { --t_lock_level; }

void install_exit_hook() {
  bool& installed = process_state().exit_hook_installed;
  if (installed) return;
  PyRef hook = PyRef::check(PyCFunction_New(&g_exit_hook_def, nullptr));
  PyRef atexit = import_module("atexit");
  PyRef registrar = get_attr(atexit.get(), "register");
  call1(registrar.get(), hook.get());
  installed = true;
}

[[noreturn]] void throw_interpreter_gone() { throw net::TaskAbandoned{}; }

}  // namespace kestrel::py
