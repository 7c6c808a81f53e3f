// The oldest interpreter the module must load into. For a stable-ABI build
// (abi3) that is the Limited API's minimum, not the version of the headers
// at hand: newer headers declare functions the minimum lacks.
#pragma once

#include <Python.h>

#if defined(Py_LIMITED_API)
#define KESTREL_PY_MIN Py_LIMITED_API
#else
#define KESTREL_PY_MIN PY_VERSION_HEX
#endif
