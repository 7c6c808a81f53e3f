#include "python/exit_hook.hpp"

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "core/process.hpp"
#include "python/calls.hpp"
#include "python/entry.hpp"
#include "python/interpreter_probes.hpp"
#include "python/lock_level.hpp"
#include "python/process_state.hpp"

namespace kestrel::py {
namespace {

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

bool begin_background_hold() noexcept {
  ShutdownState& state = shutdown_state();
  std::lock_guard lock(state.mutex);
  // Taking the lock after finalization began ends the thread from inside
  // the interpreter (pthread_exit), which a C++ worker cannot survive.
  if (state.finalizing || runtime_finalizing()) return false;
  ++state.active;
  return true;
}

void end_background_hold() noexcept {
  ShutdownState& state = shutdown_state();
  {
    std::lock_guard lock(state.mutex);
    --state.active;
  }
  state.idle.notify_all();
}

void install_exit_hook() {
  bool& installed = process_state().exit_hook_installed;
  if (installed) return;
  PyRef hook = checked(PyCFunction_New(&g_exit_hook_def, nullptr));
  PyRef atexit = import_module("atexit");
  PyRef registrar = get_attr(atexit.get(), "register");
  call1(registrar.get(), hook.get());
  installed = true;
}

}  // namespace kestrel::py
