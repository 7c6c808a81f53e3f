#include "python/entry.hpp"

#include <string>

#include "core/texts.hpp"
#include "python/errors.hpp"

namespace kestrel::py {

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  return guarded<PyObject*>(nullptr,
                            []() -> PyObject* { throw type_error(std::string(texts::kNoConstructor)); });
}

}  // namespace kestrel::py
