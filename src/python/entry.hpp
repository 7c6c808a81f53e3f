// The wrapper around every function the interpreter calls into this module:
// the call counts as a level of lock ownership (EntryScope), and no C++
// exception gets back into the interpreter.
#pragma once

#include "python/lock_level.hpp"
#include "python/panic_boundary.hpp"
#include "python/ref.hpp"

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif
#include <utility>

namespace kestrel::py {

// The lock level of a call the interpreter makes into this module: counts
// one more level for this thread and applies pending reference changes.
class EntryScope {
 public:
  EntryScope() noexcept {
    ++t_lock_level;
    apply_pending();
  }
  ~EntryScope() { --t_lock_level; }
  EntryScope(const EntryScope&) = delete;
  EntryScope& operator=(const EntryScope&) = delete;
};

// Runs `body` as an entry from the interpreter: ordinary errors become the
// Python exception, internal failures PanicException, and `on_error` is
// returned in both cases. No C++ exception leaves this function (a forced
// thread unwind, which is not an exception of ours, is let through).
template <class R, class F>
R guarded(R on_error, F&& body);

// Like guarded, for slots without a return value (deallocation): a failure
// is reported as unraisable.
template <class F>
void guarded_void(PyObject* context, F&& body);

// A tp_new that refuses construction like classes without a constructor.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// ---- templates ----

template <class R, class F>
R guarded(R on_error, F&& body) {
  EntryScope scope;
  try {
    return std::forward<F>(body)();
  }
#if defined(__GLIBCXX__)
  catch (abi::__forced_unwind&) {
    throw;  // a Python thread being ended by the interpreter: let it go
  }
#endif
  catch (...) {
    raise_current_exception();
  }
  return on_error;
}

template <class F>
void guarded_void(PyObject* context, F&& body) {
  EntryScope scope;
  try {
    std::forward<F>(body)();
    return;
  }
#if defined(__GLIBCXX__)
  catch (abi::__forced_unwind&) {
    throw;
  }
#endif
  catch (...) {
    raise_current_exception();
  }
  PyErr_WriteUnraisable(context);
}

}  // namespace kestrel::py
