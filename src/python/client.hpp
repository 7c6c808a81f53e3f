// TicTacToeClient: the class users subclass. It contributes the no-argument
// constructor and connect(url); handle_turn comes from the subclass.
#pragma once

#include "python/ref.hpp"

namespace kestrel::py {

// The class object, created on the first request and shared afterwards.
// Lock held; a failed creation throws PyError.
PyObject* client_type();

}  // namespace kestrel::py
