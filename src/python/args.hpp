// Binding of call arguments to named parameters (all positional-or-keyword,
// all required), with the usual TypeError wording.
#pragma once

#include "python/ref.hpp"

#include <array>
#include <string>

namespace kestrel::py::args {

namespace detail {
// Fills `out` (borrowed) from a vectorcall-style argument vector; `kwnames`
// may be null. `function` reads like "TicTacToeClient.connect()".
void bind(const char* function, const char* const* names, std::size_t count, PyObject* const* args,
          Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// The same for a tuple and an optional dict (tp_call, tp_new).
void bind_tuple(const char* function, const char* const* names, std::size_t count, PyObject* args,
                PyObject* kwargs, PyObject** out);
}  // namespace detail

template <std::size_t N>
std::array<PyObject*, N> bind_fast(const char* function, const std::array<const char*, N>& names,
                                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, N> out{};
  detail::bind(function, names.data(), N, args, nargs, kwnames, out.data());
  return out;
}

template <std::size_t N>
std::array<PyObject*, N> bind_tuple(const char* function, const std::array<const char*, N>& names,
                                    PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, N> out{};
  detail::bind_tuple(function, names.data(), N, args, kwargs, out.data());
  return out;
}

// The qualified name of an object's type, for error messages.
std::string type_name(PyObject* object);

}  // namespace kestrel::py::args
