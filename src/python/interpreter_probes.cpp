#include "python/interpreter_probes.hpp"

#include "python/min_version.hpp"

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

}  // namespace

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

void find_interpreter_probes() noexcept {
#if KESTREL_PROBES_BY_NAME
#if defined(_WIN32)
  // The interpreter's own DLL (python3XY.dll); python3.dll, which the module
  // links, forwards only the stable ABI.
  PyObject* handle = PySys_GetObject("dllhandle");  // borrowed
  auto library = handle != nullptr ? static_cast<HMODULE>(PyLong_AsVoidPtr(handle)) : nullptr;
  if (library == nullptr) {
    PyErr_Clear();
    return;
  }
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

}  // namespace kestrel::py
