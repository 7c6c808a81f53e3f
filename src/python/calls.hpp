// Small conveniences over the C API. All require the lock; failures the
// interpreter reports are thrown as PyError.
#pragma once

#include "python/errors.hpp"
#include "python/ref.hpp"

#include <string>
#include <string_view>

namespace kestrel::py {

PyRef import_module(const char* name);
PyRef get_attr(PyObject* object, const char* name);
PyRef call0(PyObject* callable);
PyRef call1(PyObject* callable, PyObject* argument);
PyRef call_method0(PyObject* object, const char* name);
PyRef call_method1(PyObject* object, const char* name, PyObject* argument);
// object.name(...), `name` a str (interned by the caller, see
// interned_name): the method is looked up as getattr would, but an ordinary
// function is called with `object` prepended instead of through a new bound
// method object.
PyRef call_method0(PyObject* object, PyObject* name);
PyRef call_method1(PyObject* object, PyObject* name, PyObject* argument);
PyRef make_str(std::string_view text);
std::string repr(PyObject* object);
std::string text_of(PyObject* text);  // a str's UTF-8 content
bool truthy(PyObject* object);

// The name a class gives itself (tp_name without its module part); "?" when
// even that cannot be had. Never throws: error reports use it.
std::string class_name(PyTypeObject* type);

// An instance of `type` from its allocation slot, and its release through the
// matching free slot (the Limited API keeps the type's fields out of reach).
PyRef alloc_instance(PyTypeObject* type);
void free_instance(PyObject* self);

// Creates a heap type from `spec`; on failure prints the error and throws
// InternalFailure "failed to create type object for <name>".
PyRef create_type_or_fail(PyType_Spec& spec, const char* name);

}  // namespace kestrel::py
