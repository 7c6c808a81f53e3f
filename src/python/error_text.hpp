// A Python error as the text a failure report carries.
#pragma once

#include <string>

#include "python/errors.hpp"

namespace kestrel::py {

// `PyErr { type: <class 'X'>, value: X(...), traceback: None }`. A part
// whose repr raises is shown by a stand-in (`<unprintable X object>`), so
// this never raises. Requires the lock.
std::string render_error(const PyError& error);

}  // namespace kestrel::py
