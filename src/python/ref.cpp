#include "python/ref.hpp"

#include <atomic>
#include <mutex>
#include <vector>

#include "core/process.hpp"
#include "python/lock_level.hpp"

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
    process::on_fork(
        {[made] { made->mutex.lock(); }, [made] { made->mutex.unlock(); }, [made] { made->mutex.unlock(); }});
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

void PyRef::add_count(PyObject* object) noexcept {
  if (object == nullptr) return;
  if (holds_lock()) {
    Py_INCREF(object);
  } else {
    defer(&PendingChanges::increments, object);
  }
}

PyRef PyRef::borrow(PyObject* object) noexcept {
  add_count(object);
  return PyRef(object);
}

PyRef::PyRef(const PyRef& other) noexcept : object_(other.object_) { add_count(object_); }

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

// Why an increment may wait in the pending list. A copy made without the
// lock points at its object before the count says so; until the increment
// is applied, the object lives on the count of the reference it was copied
// from (the source), and that count must not reach the interpreter first.
// - The source dropped without the lock: its release is queued after the
//   increment, under the same mutex. apply_pending takes both lists at once
//   and applies increments first, so no batch holds the release without
//   the increment before it.
// - The source (or the copy) dropped here with the lock, or handed to the
//   interpreter by release(): the pending lists are applied first. The
//   increment was queued before the reference reached a thread holding the
//   lock (whatever handed it over orders the two), so the load of `dirty`
//   sees it queued, or sees that another holder of the lock has taken the
//   lists; that holder applied every increment before it could let go of the
//   lock (only the releases after them run Python code).
// So copying needs nothing of its caller. borrow() of a bare pointer
// without the lock does: the reference that keeps the object alive must be
// a PyRef (held until the copy exists), since only a PyRef applies the lists
// before it lowers a count.
void PyRef::reset() noexcept {
  PyObject* object = std::exchange(object_, nullptr);
  if (object == nullptr) return;
  if (holds_lock()) {
    apply_pending();
    Py_DECREF(object);
  } else {
    defer(&PendingChanges::releases, object);
  }
}

PyObject* PyRef::release() noexcept {
  PyObject* object = std::exchange(object_, nullptr);
  // Whoever takes the reference may lower the count at once (see reset).
  if (object != nullptr && holds_lock()) apply_pending();
  return object;
}

}  // namespace kestrel::py
