#include "python/errors.hpp"

#include "python/min_version.hpp"

namespace kestrel::py {

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
  PyRef text =
      checked(PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
  return checked(PyObject_CallFunctionObjArgs(lazy_type_, text.get(), nullptr));
}

bool PyError::matches(PyObject* type) const { return PyErr_GivenExceptionMatches(this->type(), type) != 0; }

PyRef checked(PyObject* object) {
  if (object == nullptr) throw PyError::fetch();
  return PyRef::steal(object);
}

PyError type_error(std::string message) { return PyError(PyExc_TypeError, std::move(message)); }

void print_error(PyError error) {
  std::move(error).restore();
  PyErr_PrintEx(1);
}

}  // namespace kestrel::py
