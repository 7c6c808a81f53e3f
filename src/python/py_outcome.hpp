// What the loop thread hands a waiting worker at the end of a Python
// awaitable: python/bridge.hpp awaits it, python/bridge_callables.hpp sends it.
#pragma once

#include "python/ref.hpp"

#include <cstdint>
#include <optional>

namespace kestrel::py {

// What a Python awaitable produced: its result, or the exception it raised.
// A result that is a plain int (or bool) from 0 to 2**64-1 arrives already
// read as `index`, with no object: the loop thread holds the lock anyway,
// and the worker then needs no lock for the answer at all.
// `played`: the answer was an exact int from 0 to 8 and the loop thread
// has played it already through the turn's shortcut.
struct PyOutcome {
  PyRef object;
  bool raised = false;
  std::optional<std::uint64_t> index;
  bool played = false;
};

}  // namespace kestrel::py
