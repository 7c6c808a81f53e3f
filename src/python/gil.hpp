// The interpreter lock as background threads take it: a guard counted per
// thread on the level that python/lock_level.hpp keeps (python/exit_hook.hpp
// keeps background threads away from an interpreter that is shutting down).
#pragma once

#include <Python.h>

namespace kestrel::py {

// Counted lock acquisition for background threads. The outermost guard on a
// thread calls PyGILState_Ensure and applies the pending reference changes;
// nested guards only count. Refuses (is false) once the interpreter is
// shutting down: the work then ends without touching Python (by throwing
// net::TaskAbandoned where it runs as a task). Never keep one across a
// suspension point.
class GilGuard {
 public:
  GilGuard() noexcept;
  ~GilGuard();
  GilGuard(const GilGuard&) = delete;
  GilGuard& operator=(const GilGuard&) = delete;
  explicit operator bool() const noexcept { return held_; }

 private:
  bool held_ = false;
  bool outermost_ = false;
  PyGILState_STATE state_{};
};

}  // namespace kestrel::py
