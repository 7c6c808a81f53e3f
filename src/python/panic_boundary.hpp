// The way C++ failures become Python exceptions where a call from the
// interpreter returns (python/entry.hpp): a PyError is raised as itself,
// anything else as the binding layer's PanicException.
#pragma once

namespace kestrel::py {

// Raises the binding layer's PanicException with `message` (or a generic
// text when null). Aborts if even that fails.
void raise_panic(const char* message) noexcept;
// Turns the exception being handled into the matching Python exception.
void raise_current_exception() noexcept;

}  // namespace kestrel::py
