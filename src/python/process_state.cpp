#include "python/process_state.hpp"

#include "core/failure.hpp"
#include "core/texts.hpp"
#include "python/calls.hpp"
#include "python/errors.hpp"

namespace kestrel::py {
namespace {

// Constant-initialised and trivially destructible: usable from the first
// import on, and never torn down at exit while background threads may still
// look at it.
constinit ProcessState g_state;

}  // namespace

ProcessState& process_state() noexcept { return g_state; }

PyObject* asyncio_module() {
  return fill(&ProcessState::asyncio, [] { return import_module("asyncio"); });
}

PyObject* contextvars_module() {
  return fill(&ProcessState::contextvars, [] { return import_module("contextvars"); });
}

PyObject* ensure_future_function() {
  return fill(&ProcessState::ensure_future, [] { return get_attr(asyncio_module(), "ensure_future"); });
}

PyObject* get_running_loop_function() {
  return fill(&ProcessState::get_running_loop, [] { return get_attr(asyncio_module(), "get_running_loop"); });
}

PyObject* context_kwnames() {
  return fill(&ProcessState::context_kwnames, [] { return checked(Py_BuildValue("(s)", "context")); });
}

PyObject* interned_name(PyObject* ProcessState::*member, const char* text) {
  return fill(member, [text] { return checked(PyUnicode_InternFromString(text)); });
}

PyObject* rust_panic_type() {
  return fill(&ProcessState::rust_panic_type, [] {
    PyObject* type = PyErr_NewExceptionWithDoc("pyo3_asyncio.RustPanic", nullptr, PyExc_Exception, nullptr);
    if (type == nullptr) {
      PyErr_Clear();
      throw InternalFailure(std::string(texts::kExceptionCreationFailed));
    }
    return PyRef::steal(type);
  });
}

PyObject* panic_exception_type() noexcept {
  return fill(&ProcessState::panic_exception_type, [] {
    return PyRef::steal(PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "Raised when the C++ side of kestrel hits an unrecoverable internal failure.\n\n"
        "Derived from BaseException so that ordinary `except Exception` handlers let it "
        "pass.",
        PyExc_BaseException, nullptr));
  });
}

}  // namespace kestrel::py
