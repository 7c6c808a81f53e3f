#include "python/binding.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "core/console.hpp"
#include "core/failure.hpp"
#include "core/process.hpp"
#include "net/task.hpp"

namespace kestrel::py {
namespace {

// How many levels of lock ownership this thread has through the module.
thread_local int t_lock_level = 0;

// Whether this thread keeps its interpreter thread state between
// acquisitions (set at its first acquisition).
thread_local bool t_thread_state_pinned = false;

// Reference-count changes made by threads without the lock. Leaked on
// purpose: background threads may still touch it while the process exits.
struct PendingChanges {
  std::mutex mutex;
  std::vector<PyObject*> increments;
  std::vector<PyObject*> releases;
  std::atomic<bool> dirty{false};
};

PendingChanges& pending() {
  static auto* changes = [] {
    auto* made = new PendingChanges;
    // A fork must not copy the lists halfway through a change; the child
    // applies them like the parent would (its objects are the same copies).
    process::on_fork({[made] { made->mutex.lock(); }, [made] { made->mutex.unlock(); },
                      [made] { made->mutex.unlock(); }});
    return made;
  }();
  return *changes;
}

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

void defer(std::vector<PyObject*> PendingChanges::*list, PyObject* object) noexcept {
  PendingChanges& changes = pending();
  std::lock_guard lock(changes.mutex);
  (changes.*list).push_back(object);
  changes.dirty.store(true, std::memory_order_release);
}

[[noreturn]] void abort_at_boundary() noexcept {
  console::err_line("uncaught panic at ffi boundary");
  std::abort();
}

// Created once per process; the lock serialises creation.
PyObject* panic_exception_type() noexcept {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "Raised when the C++ side of kestrel hits an unrecoverable internal failure.\n\n"
        "Derived from BaseException so that ordinary `except Exception` handlers let it "
        "pass.",
        PyExc_BaseException, nullptr);
  }
  return type;
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

void apply_pending() noexcept {
  PendingChanges& changes = pending();
  if (!changes.dirty.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> increments;
  std::vector<PyObject*> releases;
  {
    std::lock_guard lock(changes.mutex);
    increments.swap(changes.increments);
    releases.swap(changes.releases);
    changes.dirty.store(false, std::memory_order_release);
  }
  for (PyObject* object : increments) Py_INCREF(object);
  for (PyObject* object : releases) Py_DECREF(object);
}

// ---- PyRef ----

PyRef PyRef::borrow(PyObject* object) noexcept {
  if (object != nullptr) {
    if (holds_lock()) {
      Py_INCREF(object);
    } else {
      defer(&PendingChanges::increments, object);
    }
  }
  return PyRef(object);
}

PyRef PyRef::check(PyObject* object) {
  if (object == nullptr) throw PyError::fetch();
  return PyRef(object);
}

PyRef::PyRef(const PyRef& other) noexcept : PyRef(borrow(other.object_).release()) {}

PyRef& PyRef::operator=(const PyRef& other) noexcept {
  if (this != &other) {
    PyRef copy(other);
    *this = std::move(copy);
  }
  return *this;
}

PyRef& PyRef::operator=(PyRef&& other) noexcept {
  if (this != &other) {
    reset();
    object_ = std::exchange(other.object_, nullptr);
  }
  return *this;
}

void PyRef::reset() noexcept {
  PyObject* object = std::exchange(object_, nullptr);
  if (object == nullptr) return;
  if (holds_lock()) {
    Py_DECREF(object);
  } else {
    defer(&PendingChanges::releases, object);
  }
}

// ---- PyError ----

PyError PyError::fetch() {
  PyError error;
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* value = PyErr_GetRaisedException();
  if (value == nullptr) {
    return PyError(PyExc_SystemError, "error return without exception set");
  }
  error.value_ = PyRef::steal(value);
  error.type_ = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value)));
  error.traceback_ = PyRef::steal(PyException_GetTraceback(value));
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return PyError(PyExc_SystemError, "error return without exception set");
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  error.type_ = PyRef::steal(type);
  error.value_ = PyRef::steal(value);
  error.traceback_ = PyRef::steal(traceback);
#endif
  return error;
}

PyError PyError::from_value(PyRef value) {
  PyError error;
  error.type_ = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
  error.traceback_ = PyRef::steal(PyException_GetTraceback(value.get()));
  error.value_ = std::move(value);
  return error;
}

void PyError::restore() && {
  if (lazy_type_ != nullptr) {
    PyObject* text = PyUnicode_DecodeUTF8(message_.data(), static_cast<Py_ssize_t>(message_.size()),
                                          "replace");
    if (text == nullptr) return;  // the decode error is set instead
    PyErr_SetObject(lazy_type_, text);
    Py_DECREF(text);
    return;
  }
#if PY_VERSION_HEX >= 0x030C0000
  type_.reset();
  traceback_.reset();
  PyErr_SetRaisedException(value_.release());
#else
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
#endif
}

PyRef PyError::value() const {
  if (lazy_type_ == nullptr) return value_;
  PyRef text = make_str(message_);
  return call1(lazy_type_, text.get());
}

bool PyError::matches(PyObject* type) const {
  PyObject* own = lazy_type_ != nullptr ? lazy_type_ : type_.get();
  return PyErr_GivenExceptionMatches(own, type) != 0;
}

namespace {

// The name a class gives itself (tp_name without its module part).
std::string_view short_type_name(PyTypeObject* type) {
  std::string_view name = type->tp_name;
  if (auto dot = name.rfind('.'); dot != std::string_view::npos) name.remove_prefix(dot + 1);
  return name;
}

// repr(object), or `fallback()` when repr raises (that error is dropped): a
// failure report must still say what failed, even for objects that cannot
// describe themselves.
template <class Fallback>
std::string repr_or(PyObject* object, Fallback fallback) {
  try {
    return repr(object);
  } catch (const PyError&) {
    return fallback();
  }
}

// What type.__repr__ would give, built without calling the class's
// (possibly overridden) metaclass repr.
std::string plain_type_repr(PyTypeObject* type) {
  std::string name(short_type_name(type));
  try {
    name = text_of(PyRef::check(PyType_GetQualName(type)).get());
  } catch (const PyError&) {
  }
  try {
    PyRef module = get_attr(reinterpret_cast<PyObject*>(type), "__module__");
    if (PyUnicode_Check(module.get())) {
      std::string module_name = text_of(module.get());
      if (module_name != "builtins") name = module_name + "." + name;
    }
  } catch (const PyError&) {
  }
  return "<class '" + name + "'>";
}

}  // namespace

std::string PyError::render() const {
  PyRef instance;
  try {
    instance = value();
  } catch (const PyError&) {
    // Not even the exception object could be made: describe the class.
    PyObject* type = lazy_type_ != nullptr ? lazy_type_ : type_.get();
    return "PyErr { type: " + plain_type_repr(reinterpret_cast<PyTypeObject*>(type)) +
           ", value: <unprintable object>, traceback: None }";
  }
  PyTypeObject* type = Py_TYPE(instance.get());
  std::string out = "PyErr { type: ";
  out += repr_or(reinterpret_cast<PyObject*>(type), [&] { return plain_type_repr(type); });
  out += ", value: ";
  out += repr_or(instance.get(), [&] { return "<unprintable " + std::string(short_type_name(type)) + " object>"; });
  out += ", traceback: ";
  PyRef traceback = traceback_ ? traceback_ : PyRef::steal(PyException_GetTraceback(instance.get()));
  if (traceback) {
    out += "Some(";
    out += repr_or(traceback.get(), [] { return std::string("<traceback object>"); });
    out += ")";
  } else {
    out += "None";
  }
  out += " }";
  return out;
}

PyError type_error(std::string message) { return PyError(PyExc_TypeError, std::move(message)); }

// ---- lock guards ----

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

void raise_panic(const char* message) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) abort_at_boundary();
  std::string_view text = message != nullptr ? message : "unknown error";
  PyObject* argument =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (argument == nullptr) abort_at_boundary();
  PyErr_SetObject(type, argument);
  Py_DECREF(argument);
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (PyError& error) {
    std::move(error).restore();
  } catch (const InternalFailure& failure) {
    // Reported like a failure inside background work, from the thread that
    // made the call, before Python sees the exception.
    net::report_panic(&failure.where(), failure.what());
    raise_panic(failure.what());
  } catch (const std::exception& failure) {
    raise_panic(failure.what());
  } catch (...) {
    raise_panic(nullptr);
  }
}

void install_exit_hook() {
  static bool installed = false;  // guarded by the lock
  if (installed) return;
  PyRef hook = PyRef::check(PyCFunction_New(&g_exit_hook_def, nullptr));
  PyRef atexit = import_module("atexit");
  PyRef registrar = get_attr(atexit.get(), "register");
  call1(registrar.get(), hook.get());
  installed = true;
}

// ---- conveniences ----

PyRef import_module(const char* name) { return PyRef::check(PyImport_ImportModule(name)); }

PyRef get_attr(PyObject* object, const char* name) {
  return PyRef::check(PyObject_GetAttrString(object, name));
}

PyRef call0(PyObject* callable) { return PyRef::check(PyObject_CallNoArgs(callable)); }

PyRef call1(PyObject* callable, PyObject* argument) {
  return PyRef::check(PyObject_CallOneArg(callable, argument));
}

PyRef call_method0(PyObject* object, const char* name) {
  PyRef method = get_attr(object, name);
  return call0(method.get());
}

PyRef call_method1(PyObject* object, const char* name, PyObject* argument) {
  PyRef method = get_attr(object, name);
  return call1(method.get(), argument);
}

PyRef make_str(std::string_view text) {
  return PyRef::check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

std::string text_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) throw PyError::fetch();
  return std::string(data, static_cast<std::size_t>(size));
}

std::string repr(PyObject* object) {
  PyRef text = PyRef::check(PyObject_Repr(object));
  return text_of(text.get());
}

bool truthy(PyObject* object) {
  int result = PyObject_IsTrue(object);
  if (result < 0) throw PyError::fetch();
  return result != 0;
}

PyRef create_type_or_fail(PyType_Spec& spec, const char* name) {
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) {
    PyErr_PrintEx(1);
    throw InternalFailure(std::string("failed to create type object for ") + name);
  }
  return PyRef::steal(type);
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  return guarded<PyObject*>(nullptr, []() -> PyObject* {
    throw type_error("No constructor defined");
  });
}

[[noreturn]] void throw_interpreter_gone() { throw net::TaskAbandoned{}; }

}  // namespace kestrel::py
