// Strong references to Python objects that any thread may copy and drop.
// A thread holding the interpreter lock changes the count at once; any other
// thread queues the change on the pending lists, which the next holder of the
// lock applies.
#pragma once

#include <Python.h>

#include <utility>

namespace kestrel::py {

// Applies reference-count changes queued by threads without the lock:
// increments first, then releases. Requires the lock.
void apply_pending() noexcept;

// A strong reference. Copying or dropping it on a thread without the lock
// queues the change instead of touching the count. Dropping it or handing it
// over with the lock applies the queued changes first, so a queued
// increment always lands before the count it protects can fall (ref.cpp,
// at reset, says why that suffices).
class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (may be null).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Takes a new reference to a borrowed object (may be null). Without the
  // lock, the object must be one a PyRef holds (see PyRef::reset).
  static PyRef borrow(PyObject* object) noexcept;

  PyRef(const PyRef& other) noexcept;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(const PyRef& other) noexcept;
  PyRef& operator=(PyRef&& other) noexcept;
  ~PyRef() { reset(); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller (for returning to the interpreter).
  PyObject* release() noexcept;
  void reset() noexcept;

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  // Counts one more reference to `object` (null is ignored), now or queued.
  static void add_count(PyObject* object) noexcept;
  PyObject* object_ = nullptr;
};

}  // namespace kestrel::py
