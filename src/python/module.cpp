// The extension's entry point: creates the module `kestrel` once per process
// and publishes TicTacToeClient.
#include <cstdint>

#include "core/failure.hpp"
#include "core/texts.hpp"
#include "python/args.hpp"
#include "python/client.hpp"
#include "python/entry.hpp"
#include "python/errors.hpp"
#include "python/exit_hook.hpp"
#include "python/interpreter_probes.hpp"
#include "python/process_state.hpp"

namespace kestrel::py {
namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "kestrel", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

void module_body(PyObject* module) {
  PyObject* client = client_type();

  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyError error = PyError::fetch();
    if (!error.matches(PyExc_AttributeError)) throw error;
    all = checked(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PyError::fetch();
  }
  if (!PyList_Check(all.get())) {
    throw type_error(texts::cannot_convert(args::type_name(all.get()), "PyList"));
  }
  PyRef name = checked(PyUnicode_FromString("TicTacToeClient"));
  if (PyList_Append(all.get(), name.get()) < 0) {
    PyErr_Clear();
    throw InternalFailure(std::string(texts::kAllAppendFailed));
  }
  if (PyObject_SetAttrString(module, "TicTacToeClient", client) < 0) throw PyError::fetch();

  find_interpreter_probes();
  install_exit_hook();
}

PyObject* init_module() {
  std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) throw PyError::fetch();
  std::int64_t expected = -1;
  if (!process_state().owner.compare_exchange_strong(expected, current) && expected != current) {
    throw PyError(PyExc_ImportError, std::string(texts::kNoSubinterpreters));
  }
  PyObject* module = fill(&ProcessState::module, [] {
    PyRef made = checked(PyModule_Create(&g_module_def));
    module_body(made.get());
    return made;
  });
  return PyRef::borrow(module).release();
}

}  // namespace
}  // namespace kestrel::py

PyMODINIT_FUNC PyInit_kestrel() {
  return kestrel::py::guarded<PyObject*>(nullptr, [] { return kestrel::py::init_module(); });
}
