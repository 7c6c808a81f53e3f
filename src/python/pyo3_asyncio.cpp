// The bridge's own module, pyo3_asyncio: it holds RustPanic, the exception
// a work's future completes with when the work ends in an internal failure.
#include "python/errors.hpp"
#include "python/entry.hpp"
#include "python/process_state.hpp"
#include "python/ref.hpp"

namespace kestrel::py {
namespace {

PyModuleDef g_bridge_module = {
    PyModuleDef_HEAD_INIT, "pyo3_asyncio", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace kestrel::py

PyMODINIT_FUNC PyInit_pyo3_asyncio() {
  using namespace kestrel::py;
  return guarded<PyObject*>(nullptr, []() -> PyObject* {
    PyRef module = checked(PyModule_Create(&g_bridge_module));
    PyObject* panic = rust_panic_type();
    if (PyModule_AddObjectRef(module.get(), "RustPanic", panic) < 0) throw PyError::fetch();
    return module.release();
  });
}
