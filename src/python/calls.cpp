#include "python/calls.hpp"

#include "core/failure.hpp"
#include "core/texts.hpp"
#include "python/errors.hpp"

namespace kestrel::py {

PyRef import_module(const char* name) { return checked(PyImport_ImportModule(name)); }

PyRef get_attr(PyObject* object, const char* name) { return checked(PyObject_GetAttrString(object, name)); }

PyRef call0(PyObject* callable) { return checked(PyObject_CallNoArgs(callable)); }

PyRef call1(PyObject* callable, PyObject* argument) {
  // The slot before the argument is scratch space the callee may use to
  // prepend a bound `self` without copying the vector.
  PyObject* vector[2] = {nullptr, argument};
  return checked(PyObject_Vectorcall(callable, vector + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

PyRef call_method0(PyObject* object, const char* name) {
  PyRef method = get_attr(object, name);
  return call0(method.get());
}

PyRef call_method1(PyObject* object, const char* name, PyObject* argument) {
  PyRef method = get_attr(object, name);
  return call1(method.get(), argument);
}

PyRef call_method0(PyObject* object, PyObject* name) {
  // The scratch slot before `object`, as in call1.
  PyObject* vector[2] = {nullptr, object};
  return checked(PyObject_VectorcallMethod(name, vector + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

PyRef call_method1(PyObject* object, PyObject* name, PyObject* argument) {
  PyObject* vector[3] = {nullptr, object, argument};
  return checked(PyObject_VectorcallMethod(name, vector + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

PyRef make_str(std::string_view text) {
  return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

std::string text_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) throw PyError::fetch();
  return std::string(data, static_cast<std::size_t>(size));
}

std::string repr(PyObject* object) {
  PyRef text = checked(PyObject_Repr(object));
  return text_of(text.get());
}

bool truthy(PyObject* object) {
  int result = PyObject_IsTrue(object);
  if (result < 0) throw PyError::fetch();
  return result != 0;
}

std::string class_name(PyTypeObject* type) {
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (name) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (data != nullptr) return std::string(data, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  return "?";
}

PyRef alloc_instance(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return checked(alloc(type, 0));
}

void free_instance(PyObject* self) {
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(Py_TYPE(self), Py_tp_free));
  free(self);
}

PyRef create_type_or_fail(PyType_Spec& spec, const char* name) {
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) {
    PyErr_PrintEx(1);
    throw InternalFailure(texts::join(texts::kTypeCreationFailed, std::string_view(name)));
  }
  return PyRef::steal(type);
}

}  // namespace kestrel::py
