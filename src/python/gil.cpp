#include "python/gil.hpp"

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "core/process.hpp"
#include "net/task.hpp"
#include "python/calls.hpp"
#include "python/process_state.hpp"

#if defined(Py_LIMITED_API)
#define KESTREL_PROBES_BY_NAME 1
#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif
#endif

namespace kestrel::py {
namespace {

#if KESTREL_PROBES_BY_NAME
// Two questions the stable ABI has no function for: is the interpreter
// finalizing (in the Limited API from 3.13 on only), and which thread state
// is current, without the fatal error PyThreadState_Get gives when there is
// none (public from 3.13 on, never in the Limited API). They are looked up in the
// running interpreter at import, public name first, then the private one
// 3.12 exports. Without them the exit hook alone keeps threads away at
// shutdown, and holds_lock trusts only this module's own count, which at
// worst queues a reference change that could have been made at once.
struct InterpreterProbes {
  int (*is_finalizing)() = nullptr;
  PyThreadState* (*current_thread_state)() = nullptr;
};
InterpreterProbes g_probes;
#endif

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
#if KESTREL_PY_MIN >= 0x030D0000
  return Py_IsFinalizing() != 0;
#elif KESTREL_PROBES_BY_NAME
  return g_probes.is_finalizing != nullptr && g_probes.is_finalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// PyGILState_Check is switched off (always true) once any sub-interpreter
// exists, so compare the current thread state with this thread's own.
bool thread_state_is_current() noexcept {
#if KESTREL_PROBES_BY_NAME
  if (g_probes.current_thread_state == nullptr) return false;
  PyThreadState* current = g_probes.current_thread_state();
#elif KESTREL_PY_MIN >= 0x030D0000
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

void find_interpreter_probes() {
#if KESTREL_PROBES_BY_NAME
#if defined(_WIN32)
  // The interpreter's own DLL (python3XY.dll); python3.dll, which the module
  // links, forwards only the stable ABI.
  PyRef handle = get_attr(import_module("sys").get(), "dllhandle");
  auto library = static_cast<HMODULE>(PyLong_AsVoidPtr(handle.get()));
  if (library == nullptr) throw PyError::fetch();
  auto find = [library](const char* name) { return reinterpret_cast<void*>(GetProcAddress(library, name)); };
#else
  auto find = [](const char* name) { return dlsym(RTLD_DEFAULT, name); };
#endif
  auto first_of = [&find](const char* public_name, const char* private_name) {
    void* found = find(public_name);
    return found != nullptr ? found : find(private_name);
  };
  g_probes.is_finalizing = reinterpret_cast<int (*)()>(first_of("Py_IsFinalizing", "_Py_IsFinalizing"));
  g_probes.current_thread_state = reinterpret_cast<PyThreadState* (*)()>(
      first_of("PyThreadState_GetUnchecked", "_PyThreadState_UncheckedGet"));
#endif
}

[[noreturn]] void throw_interpreter_gone() { throw net::TaskAbandoned{}; }

}  // namespace kestrel::py
