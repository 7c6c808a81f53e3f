#include "python/args.hpp"

#include <cstring>
#include <vector>

#include "core/texts.hpp"
#include "python/calls.hpp"
#include "python/errors.hpp"

namespace kestrel::py::args {

std::string type_name(PyObject* object) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (name) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text != nullptr) return std::string(text, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  return class_name(Py_TYPE(object));
}

namespace detail {
namespace {

std::string keyword_text(PyObject* key) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return repr(key);
  }
  return std::string(text, static_cast<std::size_t>(size));
}

void place_keyword(const char* function, const char* const* names, std::size_t count, PyObject* key,
                   PyObject* value, PyObject** out) {
  std::string name = keyword_text(key);
  for (std::size_t i = 0; i < count; ++i) {
    if (name == names[i]) {
      if (out[i] != nullptr) {
        throw type_error(texts::duplicate_argument(function, name));
      }
      out[i] = value;
      return;
    }
  }
  throw type_error(texts::unexpected_keyword(function, name));
}

void check_positional(const char* function, std::size_t count, Py_ssize_t nargs) {
  if (static_cast<std::size_t>(nargs) <= count) return;
  throw type_error(texts::too_many_positional(function, count, static_cast<std::size_t>(nargs)));
}

void check_missing(const char* function, const char* const* names, std::size_t count, PyObject** out) {
  std::vector<std::string> missing;
  for (std::size_t i = 0; i < count; ++i) {
    if (out[i] == nullptr) missing.emplace_back(names[i]);
  }
  if (missing.empty()) return;
  throw type_error(texts::missing_arguments(function, missing));
}

}  // namespace

void bind(const char* function, const char* const* names, std::size_t count, PyObject* const* args,
          Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  check_positional(function, count, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      place_keyword(function, names, count, PyTuple_GetItem(kwnames, i), args[nargs + i], out);
    }
  }
  check_missing(function, names, count, out);
}

void bind_tuple(const char* function, const char* const* names, std::size_t count, PyObject* args,
                PyObject* kwargs, PyObject** out) {
  Py_ssize_t nargs = PyTuple_Size(args);
  check_positional(function, count, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      place_keyword(function, names, count, key, value, out);
    }
  }
  check_missing(function, names, count, out);
}

}  // namespace detail
}  // namespace kestrel::py::args
