#include "python/futures.hpp"

#include "python/calls.hpp"
#include "python/errors.hpp"
#include "python/process_state.hpp"

namespace kestrel::py {

bool future_cancelled(PyObject* future) {
  try {
    PyRef result = call_method0(future, interned_name(&ProcessState::name_cancelled, "cancelled"));
    return truthy(result.get());
  } catch (PyError& error) {
    print_error(std::move(error));
    return false;
  }
}

}  // namespace kestrel::py
