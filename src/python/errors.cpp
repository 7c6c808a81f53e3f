#include "python/errors.hpp"

#include <cstdlib>
#include <string_view>

#include "core/texts.hpp"
#include "core/console.hpp"
#include "core/failure.hpp"
#include "net/panic.hpp"
#include "python/calls.hpp"
#include "python/process_state.hpp"

namespace kestrel::py {
namespace {

[[noreturn]] void abort_at_boundary() noexcept {
  console::err_line(texts::kPanicAtBoundary);
  std::abort();
}

}  // namespace

PyError PyError::fetch() {
  PyError error;
#if KESTREL_PY_MIN >= 0x030C0000
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
    PyObject* text =
        PyUnicode_DecodeUTF8(message_.data(), static_cast<Py_ssize_t>(message_.size()), "replace");
    if (text == nullptr) return;  // the decode error is set instead
    PyErr_SetObject(lazy_type_, text);
    Py_DECREF(text);
    return;
  }
#if KESTREL_PY_MIN >= 0x030C0000
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
std::string short_type_name(PyTypeObject* type) { return class_name(type); }

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
  std::string name = short_type_name(type);
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
  out += repr_or(instance.get(), [&] { return "<unprintable " + short_type_name(type) + " object>"; });
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

void raise_panic(const char* message) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) abort_at_boundary();
  std::string_view text = message != nullptr ? std::string_view(message) : texts::kUnknownError;
  PyObject* argument = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
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

}  // namespace kestrel::py
