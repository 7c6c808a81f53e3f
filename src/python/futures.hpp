// What the background side asks of an asyncio future it holds.
#pragma once

#include "python/ref.hpp"

namespace kestrel::py {

// fut.cancelled(); a raise is printed and counts as "not cancelled". Lock
// held.
bool future_cancelled(PyObject* future);

}  // namespace kestrel::py
