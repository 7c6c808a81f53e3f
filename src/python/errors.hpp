// Python errors as C++ values: an exception the interpreter raised, or one
// of ours waiting to be raised, travelling through C++ code.
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
  // The exception's class (borrowed).
  PyObject* type() const noexcept { return lazy_type_ != nullptr ? lazy_type_ : type_.get(); }
  // The traceback fetched with the error; empty for a lazy error or none.
  const PyRef& traceback() const noexcept { return traceback_; }
  // True when the exception is an instance of `type`. Requires the lock.
  bool matches(PyObject* type) const;

 private:
  PyError() = default;
  PyRef type_;
  PyRef value_;
  PyRef traceback_;
  PyObject* lazy_type_ = nullptr;  // borrowed: a built-in exception class
  std::string message_;
};

// Takes over a new reference returned by the C API; null means a Python
// error is set and becomes a thrown PyError.
PyRef checked(PyObject* object);

// Shortcuts for errors raised straight from our own checks.
PyError type_error(std::string message);

// Prints the error the way the interpreter reports one it cannot raise.
void print_error(PyError error);

}  // namespace kestrel::py
