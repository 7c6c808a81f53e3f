// The thin layer between C++ and the CPython C API: strong references that
// are safe to copy and drop on any thread, the counted interpreter-lock
// guard, Python errors as C++ values, and the entry guard that wraps every
// function the interpreter calls into this module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif
#include <string>
#include <string_view>
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

// Applies reference-count changes queued by threads without the lock:
// increments first, then releases. Requires the lock.
void apply_pending() noexcept;

// A strong reference. Copying or dropping it on a thread without the lock
// queues the change instead of touching the count.
class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (may be null).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Takes a new reference to a borrowed object (may be null).
  static PyRef borrow(PyObject* object) noexcept;
  // Takes over a new reference returned by the C API; null means a Python
  // error is set and becomes a thrown PyError.
  static PyRef check(PyObject* object);

  PyRef(const PyRef& other) noexcept;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(const PyRef& other) noexcept;
  PyRef& operator=(PyRef&& other) noexcept;
  ~PyRef() { reset(); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller (for returning to the interpreter).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void reset() noexcept;

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// A Python exception travelling as a C++ exception. Either fetched from the
// interpreter (type, value, traceback) or lazily described by a type and a
// message, raised when it reaches the interpreter.
class PyError : public std::exception {
 public:
  // Takes the error the interpreter has set; a SystemError if none is set.
  static PyError fetch();
  // Wraps an exception instance (as produced by calling an exception class
  // or by asyncio delivering a task's exception).
  static PyError from_value(PyRef value);
  PyError(PyObject* type, std::string message) : lazy_type_(type), message_(std::move(message)) {}

  const char* what() const noexcept override { return "Python exception"; }

  // Sets this error as the interpreter's current exception.
  void restore() &&;
  // The exception instance (normalizing a lazy error). Requires the lock.
  PyRef value() const;
  // True when the exception is an instance of `type`. Requires the lock.
  bool matches(PyObject* type) const;
  // `PyErr { type: <class 'X'>, value: X(...), traceback: None }`. A part
  // whose repr raises is shown by a stand-in (`<unprintable X object>`), so
  // this never raises. Requires the lock.
  std::string render() const;

 private:
  PyError() = default;
  PyRef type_;
  PyRef value_;
  PyRef traceback_;
  PyObject* lazy_type_ = nullptr;  // borrowed: a built-in exception class
  std::string message_;
};

// Shortcuts for errors raised straight from our own checks.
PyError type_error(std::string message);

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

// Raises the binding layer's PanicException with `message` (or a generic
// text when null). Aborts if even that fails.
void raise_panic(const char* message) noexcept;
// Turns the exception being handled into the matching Python exception.
void raise_current_exception() noexcept;

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

// Small conveniences over the C API; all require the lock and throw PyError.
PyRef import_module(const char* name);
PyRef get_attr(PyObject* object, const char* name);
PyRef call0(PyObject* callable);
PyRef call1(PyObject* callable, PyObject* argument);
PyRef call_method0(PyObject* object, const char* name);
PyRef call_method1(PyObject* object, const char* name, PyObject* argument);
PyRef make_str(std::string_view text);
std::string repr(PyObject* object);
std::string text_of(PyObject* text);  // a str's UTF-8 content
bool truthy(PyObject* object);

// Creates a heap type from `spec`; on failure prints the error and throws
// InternalFailure "failed to create type object for <name>".
PyRef create_type_or_fail(PyType_Spec& spec, const char* name);

// A tp_new that refuses construction like classes without a constructor.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

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
