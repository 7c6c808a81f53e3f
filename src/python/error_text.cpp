#include "python/error_text.hpp"

#include "python/calls.hpp"

namespace kestrel::py {

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
    name = text_of(checked(PyType_GetQualName(type)).get());
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

std::string render_error(const PyError& error) {
  PyRef instance;
  try {
    instance = error.value();
  } catch (const PyError&) {
    // Not even the exception object could be made: describe the class.
    return "PyErr { type: " + plain_type_repr(reinterpret_cast<PyTypeObject*>(error.type())) +
           ", value: <unprintable object>, traceback: None }";
  }
  PyTypeObject* type = Py_TYPE(instance.get());
  std::string out = "PyErr { type: ";
  out += repr_or(reinterpret_cast<PyObject*>(type), [&] { return plain_type_repr(type); });
  out += ", value: ";
  out += repr_or(instance.get(), [&] { return "<unprintable " + short_type_name(type) + " object>"; });
  out += ", traceback: ";
  PyRef traceback =
      error.traceback() ? error.traceback() : PyRef::steal(PyException_GetTraceback(instance.get()));
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

}  // namespace kestrel::py
