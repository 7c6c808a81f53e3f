// Python errors as C++ values, and the way C++ failures become Python
// exceptions at the boundary.
#pragma once

#include "python/ref.hpp"

#include <exception>
#include <string>

namespace kestrel::py {

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

// Raises the binding layer's PanicException with `message` (or a generic
// text when null). Aborts if even that fails.
void raise_panic(const char* message) noexcept;
// Turns the exception being handled into the matching Python exception.
void raise_current_exception() noexcept;

}  // namespace kestrel::py
