// What the Python layer keeps for the life of the process, in one place: the
// module object, our classes and exception classes, and the asyncio pieces
// the bridge uses every turn. The interpreter that imported the module first
// owns all of it (sub-interpreters are refused). Each member is filled on
// first use with the lock held and never released; a fill that fails leaves
// the member empty, so the next use tries again.
#pragma once

#include "python/ref.hpp"

#include <atomic>
#include <cstdint>
#include <utility>

namespace kestrel::py {

struct ProcessState {
  // The interpreter that imported the module first; -1 until then. Every
  // import checks it first, whichever interpreter (and lock) it runs under.
  std::atomic<std::int64_t> owner{-1};
  // The module object: a later import gets it again rather than a new one.
  PyObject* module = nullptr;
  // Set once the exit hook is registered with atexit.
  bool exit_hook_installed = false;

  // TicTacToeClient.
  PyObject* client_type = nullptr;
  // PyTicTacToeState, reached by Python only through its instances.
  PyObject* state_type = nullptr;
  // The bridge's callables: PyDoneCallback, CheckedCompletor, PyEnsureFuture
  // and PyTaskCompleter.
  PyObject* done_callback_type = nullptr;
  PyObject* completor_type = nullptr;
  PyObject* ensure_future_type = nullptr;
  PyObject* task_completer_type = nullptr;

  // pyo3_asyncio.RustPanic: the exception a future gets when its work failed.
  PyObject* rust_panic_type = nullptr;
  // pyo3_runtime.PanicException: raised by a call into the module that failed.
  PyObject* panic_exception_type = nullptr;

  // The asyncio module.
  PyObject* asyncio = nullptr;
  // The contextvars module.
  PyObject* contextvars = nullptr;
  // asyncio.ensure_future, called on every turn.
  PyObject* ensure_future = nullptr;
  // asyncio.get_running_loop, called by every connect.
  PyObject* get_running_loop = nullptr;
  // ("context",): the keyword names of call_soon_threadsafe, built once
  // because every turn passes them.
  PyObject* context_kwnames = nullptr;

  // The names of the methods called on every turn, interned once: a lookup
  // by C string would build and hash a new str object on each call.
  PyObject* name_handle_turn = nullptr;
  PyObject* name_call_soon_threadsafe = nullptr;
  PyObject* name_add_done_callback = nullptr;
  PyObject* name_result = nullptr;
  PyObject* name_cancelled = nullptr;
};

ProcessState& process_state() noexcept;

// The one way a member is filled: returns it, calling make() first if it is
// empty. Lock held. make() may run Python code that lets go of the lock, and
// another thread may fill the member meanwhile: the first fill is kept and
// the later object dropped. A make() that throws or returns null leaves the
// member empty.
template <class Make>
PyObject* fill(PyObject* ProcessState::*member, Make&& make) {
  PyObject*& slot = process_state().*member;
  if (slot == nullptr) {
    // Released before the check: releasing may run Python code too.
    PyObject* made = std::forward<Make>(make)().release();
    if (slot == nullptr) {
      slot = made;
    } else {
      Py_XDECREF(made);
    }
  }
  return slot;
}

// The members that are not our own classes (those are filled where they are
// defined). Lock held. A failed fill throws PyError, or InternalFailure
// "Failed to initialize new exception type." for RustPanic;
// panic_exception_type returns null instead, with the Python error set.
PyObject* asyncio_module();
PyObject* contextvars_module();
PyObject* ensure_future_function();
PyObject* get_running_loop_function();
PyObject* context_kwnames();
// The interned str `text`, kept in `member`.
PyObject* interned_name(PyObject* ProcessState::*member, const char* text);
PyObject* rust_panic_type();
PyObject* panic_exception_type() noexcept;

}  // namespace kestrel::py
