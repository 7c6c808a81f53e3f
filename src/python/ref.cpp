#include "python/ref.hpp"

#include <atomic>
#include <mutex>
#include <vector>

#include "core/process.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"

namespace kestrel::py {
namespace {

// Reference-count changes made by threads without the lock. Leaked on
// purpose: background threads may still touch it while the process exits.
struct PendingChanges {
  std::mutex mutex;
  std::vector<PyObject*> increments;
  std::vector<PyObject*> releases;
  std::atomic<bool> dirty{false};
};

PendingChanges& pending() {
  static auto* changes = [] {
    auto* made = new PendingChanges;
    // A fork must not copy the lists halfway through a change; the child
    // applies them like the parent would (its objects are the same copies).
    process::on_fork({[made] { made->mutex.lock(); }, [made] { made->mutex.unlock(); },
                      [made] { made->mutex.unlock(); }});
    return made;
  }();
  return *changes;
}

void defer(std::vector<PyObject*> PendingChanges::*list, PyObject* object) noexcept {
  PendingChanges& changes = pending();
  std::lock_guard lock(changes.mutex);
  (changes.*list).push_back(object);
  changes.dirty.store(true, std::memory_order_release);
}

}  // namespace

void apply_pending() noexcept {
  PendingChanges& changes = pending();
  if (!changes.dirty.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> increments;
  std::vector<PyObject*> releases;
  {
    std::lock_guard lock(changes.mutex);
    increments.swap(changes.increments);
    releases.swap(changes.releases);
    changes.dirty.store(false, std::memory_order_release);
  }
  for (PyObject* object : increments) Py_INCREF(object);
  for (PyObject* object : releases) Py_DECREF(object);
}

PyRef PyRef::borrow(PyObject* object) noexcept {
  if (object != nullptr) {
    if (holds_lock()) {
      Py_INCREF(object);
    } else {
      defer(&PendingChanges::increments, object);
    }
  }
  return PyRef(object);
}

PyRef PyRef::check(PyObject* object) {
  if (object == nullptr) throw PyError::fetch();
  return PyRef(object);
}

PyRef::PyRef(const PyRef& other) noexcept : PyRef(borrow(other.object_).release()) {}

PyRef& PyRef::operator=(const PyRef& other) noexcept {
  if (this != &other) {
    PyRef copy(other);
    *this = std::move(copy);
  }
  return *this;
}

PyRef& PyRef::operator=(PyRef&& other) noexcept {
  if (this != &other) {
    reset();
    object_ = std::exchange(other.object_, nullptr);
  }
  return *this;
}

void PyRef::reset() noexcept {
  PyObject* object = std::exchange(object_, nullptr);
  if (object == nullptr) return;
  if (holds_lock()) {
    Py_DECREF(object);
  } else {
    defer(&PendingChanges::releases, object);
  }
}

}  // namespace kestrel::py
